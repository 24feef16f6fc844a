// Attribute delimiters: turns the delimiter text of an //ATTRIBUTES statement into the
// delimiter string a source's records are split with ("NONE" means fixed positions). The
// record parser that splits records with it comes with record processing.
#include <ctype.h>
#include <string.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcdlm"};

// The delimiter string for a specification, in storage owned by the caller; null for NONE.
char *QDVP_CheckAttributeDelimiter(const char *specification) {
  std::string text = specification ? specification : "";
  if (!text.empty() && text[0] == '\'') {
    text.erase(0, 1);
    size_t quote = text.find('\'');
    if (quote != std::string::npos) text.erase(quote);
  }
  if (text.empty()) return QDV0_StrDup(" ");
  if (text.size() <= 2) {
    QDVP_TRC(trk, TRK1_DETAIL, "Attribute delimiter is '%s'", text.c_str());
    return QDV0_StrDup(text.c_str());
  }
  std::string upper = text;
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (upper == "NONE") return nullptr;
  if (upper == "TAB") return QDV0_StrDup("\t");
  std::string delimiter;
  size_t again = text.find(text[0], 1);
  if (again != std::string::npos) {
    delimiter = text.substr(1, again - 1);
  } else {
    delimiter = text.substr(0, 2);
  }
  if (delimiter.empty()) delimiter.assign(1, ' ');
  QDVP_TRC(trk, TRK1_DETAIL, "Possible incorrect delimiter quotes, delimiters %s assumed",
           delimiter.c_str());
  QDVP_DisplayValidationMessage(52, delimiter.c_str());
  return QDV0_StrDup(delimiter.c_str());
}
