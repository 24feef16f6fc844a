// The HTTP application, "Internet": the Managed_URL table (one row per URL and owner and sample)
// and the URL_Objects table (one row per object of a page), registered with the agent at start
// like a metafile application. Both are the data provider's own reports.
#include <stdio.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_http.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvphapp"};

namespace {

const BuiltInAttribute kURLattrs[] = {
    {"URL", "D", "1024", "The monitored URL"},
    {"Status", "D", "64", "Outcome of the last sample: OK, the HTTP code and text, or the failure"},
    {"Status_Timestamp", "D", "32", "When the sample was reported"},
    {"Page_Title", "D", "256", "Title of the page"},
    {"Page_Size", "C", "99999999", "Bytes of the page"},
    {"Current_Response_Time", "C", "99999999", "Milliseconds of the last sample; 0 when it failed"},
    {"Maximum_Response_Time", "C", "99999999", "Largest response time of the sample set (ms)"},
    {"Average_Response_Time", "C", "99999999", "Average response time of the sample set (ms)"},
    {"Page_Objects", "C", "99999999", "Objects found in the page by the last scan"},
    {"Total_Object_Size", "C", "99999999", "Bytes of those objects"},
    {"User_Name", "D", "32", "Owner of the monitoring request"},
    {"URL_Alias", "D", "32", "The owner's name for the URL"},
    {"ISP_Name", "D", "64", "Name of the network provider"},
    {"Server_Type", "D", "64", "The server's Server header"},
    {"Total_Samples_Taken", "C", "99999999", "Good samples since monitoring started"},
    {"Status_Interval", "C", "99999999", "Seconds between samples"},
    {"HTTP_Version", "D", "8", "1.1, or 1.0 after the fallback"},
    // Phases of the page request (microseconds) and the certificate's remaining days.
    {"DNS_Lookup_Time", "C", "99999999", "Microseconds to resolve the host name"},
    {"TCP_Connect_Time", "C", "99999999", "Microseconds to connect once resolved"},
    {"TLS_Handshake_Time", "C", "99999999", "Microseconds of the TLS handshake (0 for http)"},
    {"First_Byte_Time", "C", "99999999", "Microseconds from sending the request to its first byte"},
    {"Total_Time", "C", "99999999", "Microseconds of the whole request"},
    {"Certificate_Days_Left", "G", "99999999",
     "Days until the server certificate expires; -9999 without one"},
};
const BuiltInAttribute kObjectAttrs[] = {
    {"URL", "D", "1024", "The page the object belongs to"},
    {"Object_Name", "D", "1024", "The object's URL"},
    {"Object_Size", "C", "99999999", "Bytes of the object"},
    {"Object_Status", "D", "64", "Outcome of the object's request, as Status of Managed_URL"},
};

SourceEntry *sURLsource = nullptr;
SourceEntry *sObjectSource = nullptr;
DPAB *sAnchor = nullptr;

void MarkKeys(SourceEntry *source, const char *first, const char *second) {
  OSV1_Guard attrs(&source->AttrLock);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    if (strcmp(a->Name, first) == 0 || strcmp(a->Name, second) == 0) a->AttrKey = 1;
  }
}

void SetNodeName(SourceEntry *source) {
  OSV1_Guard attrs(&source->AttrLock);
  if (QDV_Agent_Geographic_Location == nullptr || source->pSourceNodeName == nullptr) return;
  char node[256];
  snprintf(node, sizeof(node), "%s@%s", source->pSourceNodeName, QDV_Agent_Geographic_Location);
  QDV0_Free(source->pSourceNodeName);
  source->pSourceNodeName = QDV0_StrDup(node);
}

}  // namespace

SourceEntry *QDVP_URLsource(DPAB *anchor) { return anchor == sAnchor ? sURLsource : nullptr; }
SourceEntry *QDVP_ObjectSource(DPAB *anchor) { return anchor == sAnchor ? sObjectSource : nullptr; }

void QDVP_DefineHTTPapplication(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  sURLsource = sObjectSource = nullptr;
  sAnchor = nullptr;
  ApplEntry *appl = QDVP_InitializeApplicationEntry(anchor, "Internet", 1,
                                                    "Internet management system application.");
  if (appl == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*** Failed to initialize ApplicationEntry control block for Application <%s>",
             "Internet");
    return;
  }
  QDV0_Free(appl->pMetafileName);
  appl->pMetafileName = QDV0_StrDup("HTQ");
  const char *ttl = QDV0_GetEnv("QDVP_URL_SAMPLE_INTERVAL", "28800");
  SourceEntry *urls = QDVP_DefineBuiltInTable(
      anchor, appl, "Managed_URL", "K", ttl, "One row per monitored URL and owner", kURLattrs,
      static_cast<int>(sizeof(kURLattrs) / sizeof(kURLattrs[0])), nullptr);
  SourceEntry *objects = QDVP_DefineBuiltInTable(
      anchor, appl, "URL_Objects", "K", ttl, "One row per object of a monitored page", kObjectAttrs,
      static_cast<int>(sizeof(kObjectAttrs) / sizeof(kObjectAttrs[0])), nullptr);
  if (urls == nullptr || objects == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for HTTP application");
    QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_DisplayValidationMessage(86, nullptr);
    return;
  }
  MarkKeys(urls, "URL", "User_Name");
  MarkKeys(objects, "URL", "Object_Name");
  SetNodeName(urls);
  SetNodeName(objects);
  urls->InternalReport = objects->InternalReport = 1;
  DCHresult reg = QDVP_Request(anchor, urls, QDVP_VERB_REGISTER, nullptr);
  if (reg.outcome == DCHoutcome::Ending) {
    // The data provider ends while the registration waits: its release takes the application.
    QDVP_TRC(trk, TRK1_DETAIL, ">>> HTTP application not registered: the data provider ends");
    return;
  }
  if (reg.outcome == DCHoutcome::Refused) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for HTTP application [%s %d]",
             QDVP_OutcomeName(reg.outcome), reg.status);
    QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_DisplayValidationMessage(86, nullptr);
    return;
  }
  QDVP_ReleaseApplGroupHelp(appl);
  if (reg.outcome == DCHoutcome::Taken) {
    // A source whose online fails is brought online by its next row (QDVP_HTTPsourceOnline).
    QDVP_BringRegisteredOnline(anchor, {urls, objects}, nullptr);
  } else {
    // No answer: the periodic scan registers the application again; its rows bring the
    // sources online then.
    QDVP_TRC(trk, TRK1_DETAIL, ">>> HTTP Managed URL application online delayed");
    QDVP_TRC(trk, TRK1_DETAIL, ">>> HTTP URL Object application online delayed");
  }
  anchor->pHTTPappl = appl;
  anchor->pObjectAppl = appl;
  sURLsource = urls;
  sObjectSource = objects;
  sAnchor = anchor;
  QDVP_TRC_EXIT(trk, urls->State);
}

// Brings a report source online when its registration finished after start (the agent came
// late); true when it is Active.
bool QDVP_HTTPsourceOnline(DPAB *anchor, SourceEntry *source, ProcessEntry *pe) {
  if (source == nullptr) return false;
  if (source->State == QDVP_Initial && sURLsource != nullptr && source != sURLsource &&
      sURLsource->State == QDVP_Active) {
    QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  }
  // Ready: registered and not online yet, or its last online failed. Active: online, and a row
  // not taken leaves it so.
  if (source->State == QDVP_Ready) {
    DCHresult online = QDVP_Request(anchor, source, QDVP_VERB_ONLINE, pe);
    if (!online.Delivered()) {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed for %s [%s %d]", source->pTable->TableName,
               QDVP_OutcomeName(online.outcome), online.status);
      return false;
    }
    return true;
  }
  return source->State == QDVP_Active;
}
