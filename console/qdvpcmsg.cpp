// The command words and the numbered console messages: the texts an operator reads for each
// console result, the way they are filled with a name or number, and which message explains
// which result of which command; which commands need the console key. The library uses them
// for take-action result texts; the qdvp program compiles this file in as well and prints
// them after each reply.
#include <stdio.h>
#include <string.h>

#include "../include/qdvp_console.h"

// The command table; a command's code is its index.
const char *const ConCommandString[QDVP_CMD_COUNT] = {
    "GETPORT",  "CHECK",    "DELETE",   "IMPORT",   "REFRESH",  "SHOW",
    "LIST",     "SHUTDOWN", "PING",     "ACCEPT",   "TRAPCNFG", "SET",
    "LOADCOMM", "LOADNAME", "LOADLIST", "VALIDATE", "UNPACK",   "STATS"};

// '$' at the start: the insert goes in front and the '$' becomes a blank. '#': the insert is
// written over the text from there on.
const char *const ConsoleMessage[QDVP_CONSOLE_MESSAGE_COUNT] = {
    /* 0 */ "Command completed successfully.",
    /* 1 */ "Invalid command: not a console command, or one the data provider does not carry out.",
    /* 2 */ "No application is defined.",
    /* 3 */ "$is not defined (neither an application nor a metafile of one).",
    /* 4 */ "$is already defined.",
    /* 5 */ "Metafile definition error: the metafile was read but no application resulted.",
    /* 6 */ "TakeAction console command not supported or invalid: #",
    /* 7 */ "Command rejected: another console command is in progress, code #",
    /* 8 */ "Metafile not found: #",
    /* 9 */ "No reply is sent for this command.",
    /* 10 */ "Command rejected: only an SNMP data provider carries it out.",
    /* 11 */ "Command still in progress.",
    /* 12 */
    "SNMP application definition in a data provider that is not of type SNMP; "
    "registration bypassed.",
    /* 13 */ "Application not defined: #",
    /* 14 */ "Delete failed: #",
    /* 15 */ "Command not supported for a packaged product configuration.",
    /* 16 */ "Unexpected result code #",
    /* 17 */ "Application deleted: #",
    /* 18 */ "Data provider shutdown requested.",
    /* 19 */ "Data provider shut down.",
    /* 20 */ "Application imported: #",
    /* 21 */ "Application already defined: #",
    /* 22 */ "Import failed: #",
    /* 23 */ "Application not defined, not refreshed: #",
    /* 24 */ "Refresh failed: #",
    /* 25 */ "$is defined.",
    /* 26 */ "Applications defined (metafile names):",
    /* 27 */ "Application refreshed: #",
    /* 28 */ "Application accepted; its sources are ready: #",
    /* 29 */ "Data provider start time (seconds since 1970): #",
    /* 30 */ "Data provider type and console port: #",
    /* 31 */ "Definition of the application:",
    /* 32 */ "No data provider answered on #",
    /* 33 */ "Command sent; the data provider sends no reply to it.",
    /* 34 */ "Metafile definition error: the metafile was read but no application resulted.",
    /* 35 */ "The agent already knows this application; ACCEPT it to take it over.",
    /* 36 */ "Required input parameter file name not specified",
    /* 37 */ "Processing console command #",
    /* 38 */ "Console command sent to #",
    /* 39 */ "Reply incomplete: a part of a multi-part reply did not arrive.",
    /* 40 */ "(reserved)",
    /* 41 */ "(reserved)",
    /* 42 */ "(reserved)",
    /* 43 */ "Metafile not found.",
    /* 44 */ "TRAPCNFG rejected: not an SNMP data provider.",
    /* 45 */ "Trap configuration reloaded.",
    /* 46 */ "Trap configuration reload failed.",
    /* 47 */ "Trap configuration file not found.",
    /* 48 */ "(reserved)",
    /* 49 */ "(reserved)",
    /* 50 */
    "SNMP application definition in a data provider that is not of type SNMP; "
    "registration bypassed.",
    /* 51 */ "LOADCOMM rejected: not an SNMP data provider.",
    /* 52 */ "SNMP community names reloaded.",
    /* 53 */ "SNMP community name reload failed.",
    /* 54 */ "LOADNAME rejected: not an SNMP data provider.",
    /* 55 */ "SNMP network names reloaded.",
    /* 56 */ "SNMP network name reload failed.",
    /* 57 */ "LOADLIST rejected: not an SNMP data provider.",
    /* 58 */ "Managed node list loaded.",
    /* 59 */ "Managed node list load failed.",
    /* 60 */ "Managed node list not loaded.",
    /* 61 */ "Command refused: it needs the console key and came without a valid authentication: #",
};

char *QDVP_FormatConsoleMessage(int number, const char *insert, char *buffer, int size) {
  if (buffer == nullptr || size <= 0) return buffer;
  buffer[0] = '\0';
  if (number < 0 || number >= QDVP_CONSOLE_MESSAGE_COUNT) {
    snprintf(buffer, static_cast<size_t>(size), "Console message %d", number);
    return buffer;
  }
  char text[257];
  const char *message = ConsoleMessage[number];
  if (insert == nullptr) {
    snprintf(buffer, static_cast<size_t>(size), "%s", message);
    return buffer;
  }
  size_t insertLength = strlen(insert);
  if (message[0] == '$') {
    snprintf(text, sizeof(text), "%s %s", insert, message + 1);
  } else {
    snprintf(text, sizeof(text), "%s", message);
    char *hash = strchr(text, '#');
    if (hash != nullptr) {
      // Written over the text from the '#' on; the text keeps whatever lies beyond.
      size_t at = static_cast<size_t>(hash - text);
      size_t room = sizeof(text) - 1 - at;
      size_t n = insertLength < room ? insertLength : room;
      size_t oldLength = strlen(text);
      memcpy(text + at, insert, n);
      if (at + n > oldLength) text[at + n] = '\0';
    }
  }
  snprintf(buffer, static_cast<size_t>(size), "%s", text);
  return buffer;
}

void QDVP_ShowConsoleMessage(int number, const char *insert) {
  char text[257];
  printf("%s\n", QDVP_FormatConsoleMessage(number, insert, text, sizeof(text)));
  fflush(stdout);
}

int QDVP_ConsoleResultMessage(int command, int rc) {
  // A refusal means the same whatever was refused.
  if (rc == QDVP_CON_NOT_AUTHENTICATED) return 61;
  switch (command) {
    case QDVP_CMD_DELETE:
      if (rc == 3 || rc == 4) return 13;
      return rc == 0 ? 17 : 14;
    case QDVP_CMD_IMPORT:
      switch (rc) {
        case 0:
          return 20;
        case 4:
          return 21;
        case 5:
          return 34;
        case 6:
          return 35;
        case 8:
          return 43;
        case 12:
          return 50;
        case 13:
          return 15;
        default:
          return 22;
      }
    case QDVP_CMD_REFRESH:
      switch (rc) {
        case 3:
          return 23;
        case 0:
          return 27;
        case 5:
          return 34;
        case 6:
          return 35;
        case 8:
          return 43;
        case 12:
          return 50;
        default:
          return 24;
      }
    case QDVP_CMD_TRAPCNFG:
      return rc == 0 ? 45 : rc == 10 ? 44 : rc == 11 ? 47 : 46;
    case QDVP_CMD_LOADCOMM:
      return rc == 0 ? 52 : rc == 10 ? 51 : 53;
    case QDVP_CMD_LOADNAME:
      return rc == 0 ? 55 : rc == 10 ? 54 : 56;
    case QDVP_CMD_LOADLIST:
      return rc == 0 ? 58 : rc == 10 ? 57 : rc == 60 ? 60 : 59;
    default:
      break;
  }
  switch (rc) {
    case 0:
      switch (command) {
        case QDVP_CMD_GETPORT:
          return 30;
        case QDVP_CMD_SHOW:
          return 31;
        case QDVP_CMD_LIST:
          return 26;
        case QDVP_CMD_SHUTDOWN:
          return 19;
        case QDVP_CMD_PING:
          return 29;
        case QDVP_CMD_ACCEPT:
          return 28;
        default:
          return 0;
      }
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 3;
    case 4:
      return command == QDVP_CMD_CHECK ? 25 : 4;
    case 5:
      return 34;
    case 6:
      return 35;
    case 7:
      return 7;
    case 8:
      return 43;
    case 9:
      return 9;
    case 10:
      return 10;
    case 12:
      return 50;
    case 13:
      return 15;
    case 60:
      return 60;
    case 99:
      return 11;
    default:
      return 16;
  }
}

int QDVP_ConsoleCommandNeedsKey(int code) {
  switch (code) {
    case QDVP_CMD_GETPORT:
    case QDVP_CMD_CHECK:
    case QDVP_CMD_SHOW:
    case QDVP_CMD_LIST:
    case QDVP_CMD_PING:
      return 0;
    default:
      return code >= 0 && code < QDVP_CMD_COUNT;
  }
}

const char *QDVP_ConsoleAuthenticationText(int authentication) {
  switch (authentication) {
    case QDVP_AUTH_NONE:
      return "no authentication";
    case QDVP_AUTH_MALFORMED:
      return "malformed authentication";
    case QDVP_AUTH_WRONG:
      return "wrong key or changed text";
    case QDVP_AUTH_STALE:
      return "time stamp outside the window";
    case QDVP_AUTH_REPLAYED:
      return "replayed";
    case QDVP_AUTH_NO_KEY:
      return "the data provider has no console key";
    default:
      return "not authenticated";
  }
}
