// Validation messages: the numbered texts a metafile author reads, written to standard output
// with an insert in place of the first '#'. Every mode writes them, not only validation runs.
#include <stdio.h>
#include <string.h>

#include <string>

#include "../include/qdvp_services.h"

const char *const QDVP_ValidationMessage[100] = {
    /*  0 */ "QDVPV00I Validation completed successfully",
    /*  1 */ "QDVPV01E Definition Error: File not found #",
    /*  2 */ "QDVPV02E Specification Error: Only one application allowed in a metafile, #",
    /*  3 */ "QDVPV03E Specification Error: Valid APPL statement not found in metafile #",
    /*  4 */
    "QDVPV04E Specification Error: NAME statement not found or out of sequence in metafile # ",
    /*  5 */ "QDVPV05E Specification Error: No attribute found for APPL statement in metafile #",
    /*  6 */ "QDVPV06E Processing Error: Unable to copy defined attributes to all SOURCEs, #",
    /*  7 */ "QDVPV07E Specification Error: Incomplete attribute definition, #",
    /*  8 */ "QDVPV08E Processing Error: Application registration with agent failed for #",
    /*  9 */
    "QDVPV09W Data Warning: Data value exceeds specification maximum. Specification maximum in "
    "effect. #",
    /* 10 */
    "QDVPV10E Application registration with agent failed. Application already known to agent.",
    /* 11 */ "QDVPV11W Data Warning: Negative Counter data type value forced to zero from #.",
    /* 12 */ "QDVPV12W Data Warning: Non-Numeric input value forced to zero from #.",
    /* 13 */ "QDVPV13E Data Error: Invalid Switch type input value forced to OFF (0) from #.",
    /* 14 */ "QDVPV14W Data Warning: Invalid Time type input value forced to zero from #.",
    /* 15 */
    "QDVPV15W Specification Warning: Duplicate attribute found in attribute group. Delete "
    "duplicate #",
    /* 16 */
    "QDVPV16W Specification Warning: Duplicate attribute found of different type. Name changed to "
    "#",
    /* 17 */
    "QDVPV17E Specification Error: SNMP statement rejected. Duplicate or it is not first metafile "
    "record.",
    /* 18 */ "QDVPV18E Specification Error: SNMP attribute ignored. No OID defined.",
    /* 19 */
    "QDVPV19E Specification Error: Attribute definition found after Last type attribute, ignored. "
    "#",
    /* 20 */ "QDVPV20 ",
    /* 21 */ "QDVPV21E Processing Error: Program startup initialization failed",
    /* 22 */ "QDVPV22E Metafile name input parameter required",
    /* 23 */ "QDVPV23 ",
    /* 24 */ "QDVPV24I Metafile with default extension assumed - #",
    /* 25 */ "QDVPV25I Processing input metafile #",
    /* 26 */ "QDVPV26I Processing file record #",
    /* 27 */ "QDVPV27I Blank input record skipped",
    /* 28 */ "QDVPV28W Specification Warning: Invalid name character replaced by _ character",
    /* 29 */ "QDVPV29W Specification Warning: Name truncated to default maximum size of #",
    /* 30 */
    "QDVPV30E Specification Error: Application name size is less than minimum three-character "
    "requirement - #",
    /* 31 */
    "QDVPV31W Specification Warning: Total number of attributes exceeded maximum limit. Ignored - "
    "#",
    /* 32 */
    "QDVPV32W Specification Warning: Application name size greater than maximum. Truncated to - # ",
    /* 33 */ "QDVPV33E Specification Error: Statement bypassed until next NAME statement - #",
    /* 34 */ "QDVPV34E Specification Error: Statement bypassed until next APPL statement - #",
    /* 35 */
    "QDVPV35W Processing Warning: Existing application specification assumed. Metafile already "
    "defined - #",
    /* 36 */ "QDVPV36E Specification Error: More than one FILE SOURCE per NAME, ignored",
    /* 37 */ "QDVPV37E Specification Error: Invalid SOURCE statement, ignored",
    /* 38 */ "QDVPV38E Specification Error: No application name specified on APPL statement",
    /* 39 */ "QDVPV39E Specification Error: Incomplete attribute specification, ignored",
    /* 40 */ "QDVPV40E Specification Error: Invalid attribute type, #",
    /* 41 */
    "QDVPV41E Specification Error: No data size specification for Display, Record, or Object type "
    "attribute, ignored",
    /* 42 */ "QDVPV42E Specification Error: Incomplete SOCK SOURCE statement, ignored",
    /* 43 */ "QDVPV43E Specification Error: No attribute group name specified on NAME statement",
    /* 44 */ "QDVPV44W Specification Warning: Attribute group name truncated to #",
    /* 45 */ "QDVPV45W Specification Warning: Invalid data type specified. Poll data assumed",
    /* 46 */ "QDVPV46W Specification Warning: TTL not specified. Default value assumed. #",
    /* 47 */
    "QDVPV47W Specification Warning: COPY mode invalid for EVENT type FILE SOURCE. TAIL mode in "
    "effect",
    /* 48 */
    "QDVPV48E Specification Error: Short or Long data type only valid for attribute group without "
    "delimiter, ignored",
    /* 49 */
    "QDVPV49W Specification Warning: Invalid SOCK SOURCE code type, ASCII default assumed.",
    /* 50 */ "QDVPV50W Specification Warning: Sample frequency interval resets to default minimum.",
    /* 51 */ "QDVPV51W Specification Warning: Event frequency interval resets to default minimum.",
    /* 52 */
    "QDVPV52W Specification Warning: ATTRIBUTE statement delimiter characters not enclosed by "
    "quotes. Assumed delimiter #",
    /* 53 */
    "QDVPV53E Specification Error: Customer application name begins with Corvid reserved character "
    "K is not supported. #",
    /* 54 */
    "QDVPV54W Specification Warning: Display or numeric data type maximum length changed to "
    "maximum of 3800 from #.",
    /* 55 */
    "QDVPV55E Specification Error: NAME statement encountered without attribute definition of "
    "previous NAME statement. Ignored.",
    /* 56 */
    "QDVPV56E Specification Error: Source host name cannot be resolved to address. Source "
    "specification ignored. #",
    /* 57 */
    "QDVPV57E Specification Error: Application rejected. Total attribute data size exceeded "
    "maximum supported limit of 4000 for attribute group #.",
    /* 58 */ "QDVPV58E Specification Error: SOURCE rejected. Fully-qualified LU name required. #",
    /* 59 */
    "QDVPV59V Specification Warning: KEY specification for attribute in non-KEY attribute group, "
    "ignored.",
    /* 60 */ "QDVPV60E Specification Error: SNMP MIB attribute OID is invalid or unsupported. #",
    /* 61 */
    "QDVPV61W Specification Warning: ATOMIC specification for numeric attribute, changing to "
    "non-Atomic.",
    /* 62 */ "QDVPV62E Specification Error: Application name begins with Corvid reserved name. #",
    /* 63 */ "QDVPV63E Specification Error: Attribute formula definition invalid. #",
    /* 64 */ "QDVPV64E Specification Error: Confirm statement specification invalid. #",
    /* 65 */
    "QDVPV65E Specification Error: CORVID statement rejected. Duplicate or it is not first "
    "metafile record.",
    /* 66 */
    "QDVPV66E Specification Error: Invalid attribute filter keyword, must be +FILTER or -FILTER",
    /* 67 */
    "QDVPV67E Specification Error: Invalid attribute filter syntax, must be enclosed in {}. #",
    /* 68 */
    "QDVPV68E Specification Error: Invalid attribute filter syntax, must be enclosed in (). #",
    /* 69 */ "QDVPV69E Specification Error: Invalid attribute filter syntax, undefined type #",
    /* 70 */
    "QDVPV70E Specification Error: Invalid attribute filter syntax, offset specification # ",
    /* 71 */
    "QDVPV71E Specification Error: Invalid attribute filter syntax, offset larger than data size. "
    "#",
    /* 72 */
    "QDVPV72E Specification Error: Invalid attribute filter syntax, compare string longer than "
    "data size. # ",
    /* 73 */ "QDVPV73 ",
    /* 74 */
    "QDVPV74W Specification Warning: Invalid attribute filter syntax, invalid logic operation. OR "
    "assumed. #",
    /* 75 */
    "QDVPV75W Specification Warning: Invalid attribute filter syntax, logic operation must be the "
    "same. OR in effect",
    /* 76 */
    "QDVPV76E Specification Error: Invalid attribute filter syntax, SCAN or MATCH filter invalid "
    "for numeric attributes",
    /* 77 */
    "QDVPV77E Specification Error: Invalid attribute filter syntax, NUMBER filter invalid for "
    "display type attributes",
    /* 78 */
    "QDVPV78E Specification Error: Same APPL name already defined in another metafile. Request "
    "ignored. Duplicate application. #",
    /* 79 */ "QDVPV79E Specification Error: File specification pattern invalid syntax. #",
    /* 80 */
    "QDVPV80E Specification Error: File specification pattern file extension definition invalid. #",
    /* 81 */
    "QDVPV81E Specification Error: File specification pattern contains invalid definition. #",
    /* 82 */ "QDVPV82E Specification Error: Attribute specific delimiter definition invalid. #",
    /* 83 */
    "QDVPV83E Specification Error: Duplicate INTERNAL Input statements for the same destination #.",
    /* 84 */ "QDVPV84E Specification Error: Invalid INTERNAL statement type #.",
    /* 85 */ "QDVPV85E Specification Error: Incomplete INTERNAL statement definition.",
    /* 86 */ "QDVPV86E DPLOG registration failed. Report Unavailable.",
    /* 87 */ "QDVPV87E POST DP unable to register dpPost application with Agent. Job ended.",
    /* 88 */ "QDVPV88E Validation unsuccessful",
    /* 89 */ "QDVPV89E Same type DP is already active in the system. DP startup ended.",
    /* 90 */ "QDVPV90I Application metafile validation report saved in file #.",
    /* 91 */
    "QDVPV91W Specification Warning: Summary attribute group defined without key attribute. "
    "Summarize by timestamp for #.",
    /* 92 */
    "QDVPV92E Specification Error: Total by summary specified for non-numeric attribute. Sum "
    "specification ignored.",
    /* 93 */
    "QDVPV93W Specification Warning: Summary interval too large. Reset to default maximum from #.",
    /* 94 */ "QDVPV94I Metafile unpack successful to output file #.",
    /* 95 */ "QDVPV95E Metafile unpack failed.",
    /* 96 */
    "QDVPV96E Specification Error: Required SNMP attributes Agent_Info and Agent_Name mussing from "
    "SNMP attribute group #.",
    /* 97 */ "QDVPV97E Specification Error: Invalid ODBC type or not specified. #",
    /* 98 */ "QDVPV98E Specification Error: ODBC Data Source Name required.",
    /* 99 */ "QDVPVxx  Internal processing error"};

void QDVP_DisplayValidationMessage(int number, const char *insert) {
  if (number < 0 || number > 98) number = 99;
  const char *text = QDVP_ValidationMessage[number];
  // One shared message at a time, so that lines from several tasks never interleave.
  static OSV1_LOCK bufferLock = OSV1_LOCK_INITIALIZER;
  OSV1_Guard lock(&bufferLock);
  const char *mark = insert != nullptr ? strchr(text, '#') : nullptr;
  if (mark == nullptr) {
    fputs(text, stdout);
  } else {
    fwrite(text, 1, static_cast<size_t>(mark - text), stdout);
    fputs(insert, stdout);
  }
  fputc('\n', stdout);
  fflush(stdout);
}
