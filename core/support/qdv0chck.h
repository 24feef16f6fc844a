// The rules of the settings the programs read. Every environment variable and product
// specification item whose value is a number, a port, an address or a word has one rule here,
// and the value is checked by it before anything acts on it: a mistyped value stops the start
// with a message naming the variable and the value, instead of being read as 0 (atoi), cut to
// 16 bits (a port of 99999 became 34464) or quietly replaced by a default. Variables whose
// value is a name, a path or free text have no rule.
//
// The lines an operator must see go to standard error with a syslog priority prefix (below).
//
// Shared by the library (its start-up and `qdvp check`) and the qdvp program (`qdvp console`
// computes the port it sends to by the same rules). Nothing here keeps state or throws; every
// call may be made from any thread.
#pragma once

#include <string>
#include <vector>

// The lowest and highest DP_PORT_OFFSET: every base port (7500 to 7800) plus the offset, and
// the console's base plus the highest type (8), stay ports.
constexpr long long QDV0_MIN_PORT_OFFSET = -7499;
constexpr long long QDV0_MAX_PORT_OFFSET = 65535 - 7808;

// A whole decimal number from min to max, the whole text (no blanks, no suffix).
bool QDV0_ParseNumber(const char *text, long long min, long long max, long long *value);
// A TCP or UDP port: a whole decimal number from 1 to 65535.
bool QDV0_ParsePort(const char *text, int *port);

// Checks the value of one environment variable by its rule. True when the value is good, when
// it is empty (unset) or when the variable has no rule; otherwise false with *problem set to a
// line such as "QDVP_METRICS_PORT=abc is not a port (a number from 1 to 65535)". A value that
// is read leniently by design (the transports: any other letter is taken for I) is good, but
// *warning (when given) then says what it is taken for.
bool QDV0_CheckSetting(const char *name, const char *value, std::string *problem,
                       std::string *warning = nullptr);

// Checks every variable with a rule that the environment sets; appends one line per bad value
// to problems (and per leniently read one to warnings, when given). Returns the number of bad
// values.
int QDV0_CheckEnvironment(std::vector<std::string> *problems,
                          std::vector<std::string> *warnings = nullptr);

// Checks a product specification item's value as written in the file (before the flag rule
// makes a flag absent), by the item's name. True when good or without a rule.
bool QDV0_CheckProductSpecItem(const char *name, const char *value, std::string *problem);

// ---- Lines for the operator ----------------------------------------------------------------
// Syslog priorities: journald, and any reader of standard error that follows the same rule,
// keeps the level of a line that begins with "<N>".
enum {
  QDV0_PRIORITY_ERROR = 3,
  QDV0_PRIORITY_WARNING = 4,
  QDV0_PRIORITY_NOTICE = 5,
  QDV0_PRIORITY_INFO = 6,
};
// Writes "<priority>text" and a line end to standard error in one write, so that lines of
// several tasks never mix.
void QDV0_WriteOperatorLine(int priority, const char *text);
// The same with printf formatting; a line longer than 2000 bytes is cut.
void QDV0_OperatorLine(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
// How many error lines (priority 3 or more urgent) were written since the process began.
int QDV0_OperatorErrorCount(void);
