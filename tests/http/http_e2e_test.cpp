// URL monitoring: what it reads out of a page and how it words and counts a sample (the page
// title, the objects a page names, the URL as monitored, the status text of a row, and the
// response time statistics of a sample set); and end to end, `qdvp start http` samples the URLs
// of its configuration file from a private nginx (and from servers that never answer or reset),
// and qdvp-dch receives the Managed_URL and URL_Objects rows; DP_CONFIG requests and rules add
// and remove URLs, which the configuration file then keeps; a row the agent never answers is
// lost alone and the URL's next samples are stored. And the HTTP client layer
// (htq1) through its calls: statuses, the response dictionary, the body, the phase times and the
// certificate, against a private nginx and servers played by the test.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/support/htq1.h"
#include "core/support/qdv0.h"
#include "include/qdvp_http.h"
#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"
#include "tests/support/webserver.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::CannedServer;
using qdvp_test::EnvGuard;
using qdvp_test::Nginx;
using qdvp_test::ReadFile;
using qdvp_test::WaitFor;
using Adjust = std::function<void(HTQ1_OPTIONS *)>;

std::string Title(const std::string &page) {
  char title[QDVP_URL_TITLE_MAX + 1];
  QDVP_FindPageTitle(page.data(), static_cast<long>(page.size()), title, sizeof(title));
  return title;
}

TEST(PageTitle, IsTheTextOfTheTitleElementOrTheFixedText) {
  const std::string none = "No page title available";
  struct Case {
    std::string page, title;
  } cases[] = {
      {"<html><head><title>Status board</title></head>", "Status board"},
      {"<HTML><TITLE lang=en>\r\n  Upper case</TITLE>", "Upper case"},
      {"<title>Two\nlines</title>", "Two"},  // the first line only
      {"<title>" + std::string(400, 'x') + "</title>", std::string(255, 'x')},
      {"<title></title>", none},
      {"<title>never closed", none},
      {"<body>no title</body>", none},
      {"", none},
  };
  for (const Case &c : cases) EXPECT_EQ(Title(c.page), c.title) << c.page.substr(0, 40);
}

// The statistics file has one line per URL whatever the page's title and the server's name
// hold: their line ends and control characters are escaped.
TEST(URLStatistics, EachURLIsOneLineWhateverItsPageAndServerSay) {
  qdvp_test::TempDir dir;
  std::string path = dir.File("URLSTATS.csv");
  auto *umb = QDV0_New<URLmanagementBlock>();
  auto *e = QDV0_New<URLrequestEntry>();
  ASSERT_TRUE(umb && e);
  OSV1_InitializeLock(&umb->URLlistLock);
  OSV1_InitializeLock(&e->Lock);
  umb->OutputStat = 1;
  umb->pStatFile = QDV0_StrDup(path.c_str());
  umb->pURLlist = e;
  snprintf(e->URL, sizeof(e->URL), "http://h/\x7f");
  snprintf(e->PageTitle, sizeof(e->PageTitle), "%s",
           Title("<title>Board\x1b[2J\\</title>").c_str());
  snprintf(e->ServerType, sizeof(e->ServerType), "nginx\r\nhttp://forged/,x,Forged");
  e->HTTPversion = 11;
  QDVP_OutputURLstat(umb);
  std::vector<std::string> lines;
  std::string text = ReadFile(path), line;
  for (std::istringstream in(text); std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u) << text;
  EXPECT_EQ(lines[1].rfind("http://h/\\x7F,    ,Board\\x1B[2J\\\\,0,", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find(",1.1,nginx\\r\\nhttp://forged/,x,Forged,"), std::string::npos)
      << lines[1];
  EXPECT_EQ(text.find('\r'), std::string::npos);
  OSV1_DestroyLock(&e->Lock);
  OSV1_DestroyLock(&umb->URLlistLock);
  QDV0_Free(umb->pStatFile);
  QDV0_Free(e);
  QDV0_Free(umb);
}

std::vector<std::string> Objects(const std::string &page, const char *url = "http://h:8/dir/p.html",
                                 size_t listMax = QDVP_URL_OBJECT_LIST_MAX) {
  std::vector<std::string> found;
  int n = QDVP_FindPageObjects(
      page.data(), static_cast<long>(page.size()), url,
      [](const char *object, void *context) {
        static_cast<std::vector<std::string> *>(context)->push_back(object);
      },
      &found, listMax);
  EXPECT_EQ(n, static_cast<int>(found.size()));
  return found;
}

TEST(PageObjects, AreFoundByTypeJoinedToThePageHostNotRepeatedUpToTheListsSizeAndReadSafely) {
  using V = std::vector<std::string>;
  struct Case {
    std::string page;
    V objects;
  } cases[] = {
      {"<img src=\"a.jpg\"><img src='/img/b.gif'>", {"http://h:8/a.jpg", "http://h:8/img/b.gif"}},
      // Absolute names stay as written; a repeated name is asked for once.
      {"<img src=http://cdn.example/x.jpg><img src=http://cdn.example/x.jpg>",
       {"http://cdn.example/x.jpg"}},
      // Today's types count only where a quote closes the name.
      {"<link href=\"s.css\"><script src=\"app.js\"></script> see notes.css here",
       {"http://h:8/s.css", "http://h:8/app.js"}},
      // The old types are all found first, in the order of the type list.
      {"<img src=\"p.png\"><img src=\"q.gif\"><img src=\"r.jpg\">",
       {"http://h:8/r.jpg", "http://h:8/q.gif", "http://h:8/p.png"}},
      // A name holding markup is no name; text without "=" before it is no name either.
      {"<a x=\"<b>.jpg\">", {}},
      {"plain text mentions photo.jpg", {}},
      {"", {}},
  };
  for (const Case &c : cases) EXPECT_EQ(Objects(c.page), c.objects) << c.page;

  // The search stops once the list is full.
  std::string page;
  for (int i = 0; i < 100; i++) page += "<img src=\"i" + std::to_string(i) + ".gif\">";
  // Each name is "http://h:8/iNN.gif" (18 or 19 bytes with its separator).
  EXPECT_EQ(Objects(page, "http://h:8/", 100).size(), 5u);
  EXPECT_EQ(Objects(page).size(), 100u);

  // A page of every byte value, quotes and suffixes at its edges: nothing is read outside it.
  page = ".jpg\"";
  for (int i = 0; i < 256; i++) page += static_cast<char>(i);
  page += "='.gif";
  std::vector<char> exact(page.begin(), page.end());  // no terminating NUL after the page
  QDVP_FindPageObjects(exact.data(), static_cast<long>(exact.size()), "http://h/", nullptr, nullptr,
                       QDVP_URL_OBJECT_LIST_MAX);
  char title[16];
  QDVP_FindPageTitle(exact.data(), static_cast<long>(exact.size()), title, sizeof(title));
}

TEST(MonitoredURL, GetsASchemeAndForwardSlashes) {
  struct Case {
    const char *token, *url;
    bool converted;
  } cases[] = {
      {"http://a.example/x", "http://a.example/x", false},
      {"HTTPS://a.example/", "HTTPS://a.example/", false},
      {"a.example:8080/x", "http://a.example:8080/x", false},
      {"HTTP:\\\\a.example/x", "http://a.example/x", true},
  };
  for (const Case &c : cases) {
    char url[64];
    bool converted = false;
    ASSERT_TRUE(QDVP_NormalizeURL(c.token, url, sizeof(url), &converted)) << c.token;
    EXPECT_STREQ(url, c.url);
    EXPECT_EQ(converted, c.converted) << c.token;
  }
  char small[12];
  EXPECT_FALSE(QDVP_NormalizeURL("a.example/long/path", small, sizeof(small), nullptr));
}

TEST(RowFigures, StatusSaysOkTheCodeAndTextOrTheFailureAndResponseTimesAverage) {
  struct Case {
    uint32_t status;
    const char *text;
  } cases[] = {
      {HTQ1_OK, "OK"},
      {HTQ1_HTTP_ERROR + 404, "404: Not Found"},
      {HTQ1_HTTP_ERROR + 503, "503: Service Unavailable"},
      {HTQ1_UNRESOLVED, "Not a recognized network address"},
      {HTQ1_CONNECTION_ABANDONED, "Timeout occurred while obtaining URL status"},
      {HTQ1_TIMED_OUT, "Timeout occurred while obtaining URL status"},
      {HTQ1_INVALID_URL, "URI is not valid"},
      {HTQ1_OTHER_FAILURE + 28, "Timeout was reached"},  // libcurl's own text
  };
  for (const Case &c : cases) {
    char text[128];
    QDVP_URLstatusText(c.status, text, sizeof(text));
    EXPECT_STREQ(text, c.text) << std::hex << c.status;
  }
  int times[3] = {0, 0, 0};
  URLrequestEntry e{};
  e.SampleSetSize = 3;
  e.pResponseTimes = times;
  struct Step {
    long ms;
    long current, maximum, average;
    int samples;
  } steps[] = {
      {100, 100, 100, 100, 1},
      {300, 300, 300, 200, 2},
      {200, 200, 300, 200, 3},
      {500, 500, 500, 333, 4},  // the set now holds 500, 300, 200
  };
  for (const Step &s : steps) {
    timespec start = {1000, 0}, end = {1000 + s.ms / 1000, (s.ms % 1000) * 1000000};
    QDVP_CalculateURLresponseTime(&start, &end, &e);
    EXPECT_EQ(e.CurrentResponseTime, s.current);
    EXPECT_EQ(e.MaximumResponseTime, s.maximum);
    EXPECT_EQ(e.AverageResponseTime, s.average);
    EXPECT_EQ(e.SamplesTaken, s.samples);
    e.CurrentPosition = (e.CurrentPosition + 1) % e.SampleSetSize;  // as the row's report does
  }
}

const char kPage[] =
    "<html><head><title>Service board</title></head><body>\n"
    "<img src=\"logo.gif\"><img src='/img/photo.jpg'><script src=\"app.js\"></script>\n"
    "</body></html>\n";

class URLWorld : public qdvp_test::DataProviderWorld {
 protected:
  Strings PeerArgs() const override { return {"--action-file", File("actions.jsonl")}; }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_URL_MIN_SAMPLE_INTERVAL", "1"},
            {"QDVP_URL_DATASET_PERIOD", "6"},
            {"QDVP_URL_DATASET_MIN_SAMPLES", "3"},
            {"QDVP_URL_MAX_REPLY_WAIT", "3"},
            {"QDVP_URL_ISP_NAME", "TestNet"}};
  }
  void SetUp() override {
    DataProviderWorld::SetUp();
    web_.WriteFile("index.html", kPage);
    web_.WriteFile("logo.gif", std::string(100, 'g'));
    web_.WriteFile("img/photo.jpg", std::string(2000, 'j'));
    web_.WriteFile("app.js", std::string(30, 's'));
    web_.WriteFile("private/index.html", "<title>Staff only</title>");
    ASSERT_TRUE(web_.Start()) << web_.Problem();
  }
  void URLs(const std::string &lines, const std::string &file = "qdvpurls.cfg") {
    dir_.Write(file, lines);
  }
  // The rows of a table for a URL in arrival order, each as attribute -> value with its data
  // sequence mark as "sequence".
  std::vector<std::map<std::string, std::string>> Rows(const std::string &url,
                                                       const char *group = "Managed_URL") const {
    std::vector<std::map<std::string, std::string>> rows;
    std::string last;
    std::string where = "r.attribute_group='" + std::string(group) +
                        "' and json_extract(r.attrs,'$.URL')='" + url + "'";
    for (auto &r : dch_test::Query(peer_->Db(),
                                   "select r.id, r.data_sequence, j.key, j.value from "
                                   "rows r, json_each(r.attrs) j where " +
                                       where + " order by r.id")) {
      if (rows.empty() || r[0] != last) rows.push_back({{"sequence", r[1]}});
      last = r[0];
      rows.back()[r[2]] = r[3];
    }
    return rows;
  }
  bool WaitURL(const std::string &url, size_t count = 1, std::chrono::seconds deadline = 30s) {
    return WaitFor([&] { return Rows(url).size() >= count; }, deadline);
  }
  std::string Node() const { return Subnode("Managed_URL", ":INTERNETMANAGED_URL00"); }
  void Send(int id, int type, const std::string &name, const std::string &owner,
            const std::string &parameter) {
    AppendActions({"{\"id\":" + std::to_string(id) + ",\"type\":" + std::to_string(type) +
                   ",\"name\":\"" + name + "\",\"node\":\"" + Node() + "\",\"owner\":\"" + owner +
                   "\"" + (parameter.empty() ? "" : ",\"parameter\":\"" + parameter + "\"") + "}"});
  }

  // Files under /slow/ come at 2 KB a second.
  qdvp_test::Nginx web_{"    location /slow/ { limit_rate 2k; }\n"};
};

// Each kind of answer gives its status text and its figures, and a URL that never answers
// does not hold up the others. The URL configuration file and the ISP file are named by
// absolute paths.
TEST_F(URLWorld, EveryURLReportsItsOutcome) {
  dch_test::Listener silent;  // never accepts
  qdvp_test::ResettingServer resetting;
  std::string page = web_.Url("/index.html"), tls = web_.TlsUrl("/index.html");
  std::string silentURL = "http://127.0.0.1:" + std::to_string(silent.port()) + "/";
  std::string resetURL = "http://127.0.0.1:" + std::to_string(resetting.Port()) + "/";
  std::string hostPort = "127.0.0.1:" + std::to_string(web_.Port());
  // Broken settings and a name beyond ASCII: the line is still monitored, with the defaults.
  std::string accented = web_.Url("/caf\xc3\xa9.html"), broken = web_.Url("/missing?broken");
  URLs(silentURL + " INTERVAL=1\n" + page + " INTERVAL=1 USER=ops,dev ALIAS=board\n" + hostPort +
           "/missing INTERVAL=1\n" + web_.Url("/busy") + " INTERVAL=1 USER=\n" +
           web_.Url("/chain/3") + " INTERVAL=1\n" + web_.Url("/chain/7") + " INTERVAL=1\n" +
           web_.Url("/relative") + " INTERVAL=1\n" + web_.Url("/old") + " INTERVAL=1\n" +
           web_.Url("/private/") + " INTERVAL=1\n" + tls + " INTERVAL=1\n" +
           "http://no-such-host.invalid/ INTERVAL=1\n" + resetURL + " INTERVAL=1\n" + "\n   \n" +
           std::string(1100, 'x') + " INTERVAL=1\n" + accented + " INTERVAL=1\n" + broken +
           " INTERVAL=abc CACHE=-5 USER=ALIAS=x\n",
       "urls.cfg");
  dir_.Write("isp.id", "TestNet  the test network\n");
  extraEnv_ = {{"QDVP_PRODUCT_SPEC",
                dir_.Write("product.cfg", "QDVPURLS_FILE_NAME=" + File("urls.cfg") + "\n")},
               {"QDVP_URL_ISP_NAME", ""},
               {"QDVP_URL_ISP_FILE_NAME", File("isp.id")},
               {"QDVP_URL_CA_FILE", web_.CaFile()},
               {"QDVP_HTTP_PROXY_USERID", "qdvp"},
               {"QDVP_HTTP_PROXY_PASSWORD", "secret"},
               {"QDVP_URL_OUTPUT_STAT", "Y"},
               {"QDVP_URL_OUTPUT_HTML", "Y"},
               {"QDVP_URL_OUTPUT_CONTENT", "Y"},
               {"QDVP_URL_OUTPUT_DIR", File("out")}};
  mkdir(File("out").c_str(), 0755);
  Launch("http");
  struct Case {
    std::string url, status, title;
  } cases[] = {
      {page, "OK", "Service board"},
      {"http://" + hostPort + "/missing", "404: Not Found", "No page title available"},
      {web_.Url("/busy"), "503: Service Unavailable", "No page title available"},
      {web_.Url("/chain/3"), "OK", "Service board"},
      {web_.Url("/chain/7"), "too many redirects", "No page title available"},
      {web_.Url("/relative"), "OK", "Service board"},
      {web_.Url("/old"), "OK", "Service board"},
      {web_.Url("/private/"), "OK", "Staff only"},
      {tls, "OK", "Service board"},
      {"http://no-such-host.invalid/", "Not a recognized network address",
       "No page title available"},
      {resetURL, "Timeout occurred while obtaining URL status", "No page title available"},
      {silentURL, "Timeout occurred while obtaining URL status", "No page title available"},
      {accented, "404: Not Found", "No page title available"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.url);
    ASSERT_TRUE(WaitURL(c.url)) << Trace().substr(0, 4000);
    auto row = Rows(c.url).back();
    EXPECT_EQ(row["Status"], c.status);
    EXPECT_EQ(row["Page_Title"], c.title);
    EXPECT_EQ(row["ISP_Name"], "TestNet");
    EXPECT_EQ(row["Status_Interval"], "1");
    if (c.status == "OK") {
      EXPECT_GT(std::stol(row["Page_Size"]), 0);
      EXPECT_GT(std::stol(row["Total_Time"]), 0);
      EXPECT_NE(row["Server_Type"].find("nginx"), std::string::npos);
    } else {
      EXPECT_EQ(row["Current_Response_Time"], "0");
    }
  }
  // The silent server held one subtask for the reply wait; the page was sampled meanwhile.
  EXPECT_TRUE(WaitURL(page, 2));

  auto pageRow = Rows(page).back();
  EXPECT_EQ(pageRow["User_Name"], "ops");  // the first user; "dev" was a duplicate URL
  EXPECT_EQ(pageRow["URL_Alias"], "board");
  EXPECT_EQ(pageRow["Page_Objects"], "3");
  EXPECT_EQ(pageRow["Total_Object_Size"], "2130");
  EXPECT_EQ(pageRow["HTTP_Version"], "1.1");
  EXPECT_EQ(pageRow["TLS_Handshake_Time"], "0");
  EXPECT_EQ(pageRow["Certificate_Days_Left"], "-9999");
  EXPECT_EQ(Rows(web_.Url("/busy")).back()["User_Name"], "INITCNFG");
  ASSERT_TRUE(WaitURL(broken));
  EXPECT_EQ(Rows(broken).back()["Status_Interval"], "2");  // the longest sample interval
  EXPECT_EQ(Rows(broken).back()["User_Name"], "INITCNFG");
  EXPECT_NE(Trace().find("Non-numeric value specified on INTERVAL= parameter for URL <" + broken),
            std::string::npos);
  // Phases are parts of the whole request.
  long phases = std::stol(pageRow["DNS_Lookup_Time"]) + std::stol(pageRow["TCP_Connect_Time"]) +
                std::stol(pageRow["First_Byte_Time"]);
  EXPECT_LE(phases, std::stol(pageRow["Total_Time"]));
  auto tlsRow = Rows(tls).back();
  EXPECT_GT(std::stol(tlsRow["TLS_Handshake_Time"]), 0);
  EXPECT_GE(std::stol(tlsRow["Certificate_Days_Left"]), 29);
  EXPECT_EQ(Rows(web_.Url("/old")).back()["HTTP_Version"], "1.0");

  // One URL_Objects row per object, each with its size and status.
  ASSERT_TRUE(WaitFor([&] { return Rows(page, "URL_Objects").size() >= 3; }, 10s));
  std::map<std::string, std::string> objects;
  for (auto &o : Rows(page, "URL_Objects"))
    objects[o["Object_Name"]] = o["Object_Size"] + " " + o["Object_Status"];
  std::string root = "http://127.0.0.1:" + std::to_string(web_.Port()) + "/";
  EXPECT_EQ(objects, (std::map<std::string, std::string>{{root + "app.js", "30 OK"},
                                                         {root + "img/photo.jpg", "2000 OK"},
                                                         {root + "logo.gif", "100 OK"}}));

  // What nginx saw: our User-Agent, the retry over HTTP/1.0, the credentials after the 401.
  std::string log = web_.AccessLog();
  EXPECT_NE(log.find("HTTP/1.0 \"GET /old HTTP/1.0\" 200 \"Mozilla/4.0 (compatible; MSIE 5.5; "
                     "Windows NT 4.0)\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\"GET /private/ HTTP/1.1\" 401"), std::string::npos) << log;
  EXPECT_NE(log.find("\"Basic cWR2cDpzZWNyZXQ=\""), std::string::npos) << log;

  // The statistics file has its heading and a line per URL; the first sample's page and its
  // objects were copied, under names that cannot leave the host's folder.
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadFile(File("out/URLSTATS.csv")).find(page + ",board,Service board,") !=
               std::string::npos;
      },
      15s));
  std::string stats = ReadFile(File("out/URLSTATS.csv"));
  EXPECT_EQ(stats.rfind("URL,URL_Alias,Page_Title,Page_Size,", 0), 0u) << stats;
  EXPECT_EQ(qdvp_test::Occurrences(stats, "\n"), 15) << stats;
  std::string port = std::to_string(web_.Port());
  std::string folder = File("out/127.0.0.1_" + port + "/http___127.0.0.1_" + port);
  EXPECT_EQ(ReadFile(folder + "_index.html"), kPage);
  EXPECT_EQ(ReadFile(folder + "_logo.gif"), std::string(100, 'g'));
  EXPECT_EQ(ReadFile(folder + "_img_photo.jpg"), std::string(2000, 'j'));
  // The oversized URL was refused at reading.
  EXPECT_NE(Trace().find("URL length 1100 too large. Max length 1024"), std::string::npos);
}

// A URL's response time is its own request's: a page whose six objects take 3 s each holds
// subtasks meanwhile, and the next URL's request, on a subtask of its own, is not held up by
// them: its response time (and the maximum and the average) is its page's alone.
TEST_F(URLWorld, TheResponseTimeLeavesOutTheWaitForASubtask) {
  std::string page = "<html><head><title>Slow objects</title></head><body>\n";
  for (int i = 1; i <= 6; i++) {
    std::string name = "slow/o" + std::to_string(i) + ".jpg";
    web_.WriteFile(name, std::string(6 * 1024, 'o'));
    page += "<img src=\"" + name + "\">\n";
  }
  web_.WriteFile("objects.html", page + "</body></html>\n");
  web_.WriteFile("plain.html", "<title>Plain</title>");
  std::string objects = web_.Url("/objects.html"), plain = web_.Url("/plain.html");
  URLs(objects + " INTERVAL=60\n" + plain + " INTERVAL=60\n");
  extraEnv_ = {{"QDVP_URL_INIT_TASKS", "3"}, {"QDVP_URL_MAX_REPLY_WAIT", "30"}};
  Launch("http");
  ASSERT_TRUE(WaitURL(plain, 1, 60s)) << Trace().substr(0, 4000);
  auto row = Rows(plain).front();
  EXPECT_EQ(row["Status"], "OK");
  EXPECT_LT(std::stol(row["Current_Response_Time"]), 1000) << row["Current_Response_Time"];
  EXPECT_LT(std::stol(row["Maximum_Response_Time"]), 1000);
  EXPECT_LT(std::stol(row["Average_Response_Time"]), 1000);
  // The objects were under way: nginx had not finished all six before the plain page.
  std::string log = web_.AccessLog();
  size_t at = log.find("GET /plain.html");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_LT(qdvp_test::Occurrences(log.substr(0, at), "GET /slow/"), 6) << log;
}

// One row at a time (an agent without a window): a URL row the agent never answers is lost
// alone, and the URL's next samples are stored; the Managed_URL table does not stay offline.
class URLWorldOneRowAtATime : public URLWorld {
 protected:
  Strings PeerArgs() const override {
    return {"--action-file", File("actions.jsonl"), "--no-window"};
  }
  std::map<std::string, std::string> KindEnv() const override {
    auto env = URLWorld::KindEnv();
    env["QDVP_DCH_REPLY_WAIT"] = "2";
    return env;
  }
};

TEST_F(URLWorldOneRowAtATime, AnUnansweredRowLeavesTheNextSamplesStored) {
  web_.WriteFile("plain.html", "<title>Plain</title>");
  std::string plain = web_.Url("/plain.html");
  URLs(plain + " INTERVAL=1\n");
  Launch("http");
  ASSERT_TRUE(WaitURL(plain, 1, 60s)) << Trace().substr(0, 4000);
  // The agent comes back leaving its next rows unanswered: the URL's samples go on.
  StopPeer();
  StartPeer({"--no-window", "--no-reply", "data:3"});
  ASSERT_TRUE(WaitFor(
      [&] {
        return Trace().find("dp_data failed for Managed_URL [no answer") != std::string::npos;
      },
      60s))
      << Trace().substr(0, 4000);
  size_t before = Rows(plain).size();
  EXPECT_TRUE(WaitURL(plain, before + 2, 30s)) << Rows(plain).size();
}

// Servers that never answer and a page of 300 objects that take 3 s each cost only their own
// samples: the other URLs keep their 2-second schedule (client tasks grow with the URLs due),
// the page's objects are bounded in count and time (no more than the reply wait allows at
// four at a time), and the threads stay bounded; once the hung servers are gone the extra
// tasks end.
TEST_F(URLWorld, HungServersAndSlowObjectsCostOnlyTheirOwnSamples) {
  std::vector<std::unique_ptr<dch_test::Listener>> hung;
  std::string lines;
  for (int i = 0; i < 4; i++) {
    hung.push_back(std::make_unique<dch_test::Listener>());  // never accepts
    lines += "http://127.0.0.1:" + std::to_string(hung.back()->port()) + "/ INTERVAL=2\n";
  }
  std::string page = "<html><head><title>Many objects</title></head><body>\n";
  for (int i = 1; i <= 300; i++) page += "<img src=\"slow/m" + std::to_string(i) + ".jpg\">\n";
  for (int i = 1; i <= 300; i++)
    web_.WriteFile("slow/m" + std::to_string(i) + ".jpg", std::string(6 * 1024, 'm'));
  web_.WriteFile("many.html", page + "</body></html>\n");
  lines += web_.Url("/many.html") + " INTERVAL=2\n";
  std::vector<std::string> good;
  for (int i = 0; i < 8; i++) {
    web_.WriteFile("p" + std::to_string(i) + ".html", "<title>P" + std::to_string(i) + "</title>");
    good.push_back(web_.Url("/p" + std::to_string(i) + ".html"));
    lines += good.back() + " INTERVAL=2\n";
  }
  URLs(lines);
  extraEnv_ = {{"QDVP_URL_MAX_REPLY_WAIT", "6"}, {"QDVP_URL_IDLE_TASK_SECONDS", "2"}};
  Launch("http");
  ASSERT_TRUE(WaitURL(good.back(), 1, 30s)) << Trace().substr(0, 4000);
  // Every good URL sampled on schedule: with one task walking the list, each hung server would
  // hold every URL behind it for the 6-second reply wait.
  auto start = std::chrono::steady_clock::now();
  std::vector<size_t> before;
  for (const std::string &url : good) before.push_back(Rows(url).size());
  auto onSchedule = [&] {
    for (size_t i = 0; i < good.size(); i++) {
      if (Rows(good[i]).size() < before[i] + 5) return false;
    }
    return true;
  };
  EXPECT_TRUE(WaitFor(onSchedule, 14s))
      << "rows of " << good[0] << ": " << Rows(good[0]).size() << " (" << before[0] << " before)";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  for (const std::string &url : good) EXPECT_EQ(Rows(url).back()["Status"], "OK") << url;
  // The page's objects: at most four at once, none after the 6-second reply wait of its scan.
  EXPECT_LE(qdvp_test::Occurrences(web_.AccessLog(), "GET /slow/m"), 4 * (6 / 3 + 1))
      << web_.AccessLog().substr(0, 2000);
  auto threads = [&] {
    std::string status = qdvp_test::ReadFile("/proc/" + std::to_string(qdvp_->pid()) + "/status");
    size_t at = status.find("Threads:");
    return at == std::string::npos ? 0 : atoi(status.c_str() + at + 8);
  };
  int busy = threads();
  EXPECT_LT(busy, 64);
  // The hung servers gone (their connections refused at once): the tasks they held end once
  // idle.
  hung.clear();
  EXPECT_TRUE(WaitFor([&] { return threads() < busy; }, 30s)) << busy << " threads";
}

// Fifty URLs at a short interval, two of them on servers that never answer (each of their
// samples holds a client task for longer than the interval): every other URL is sampled on its
// schedule, to within a second, every time. The manager looks when the earliest URL is due, to
// the millisecond, and again as soon as a pass ends, not at whole seconds or after a pause.
TEST_F(URLWorld, ShortIntervalsKeepTheirScheduleBesideHungServers) {
  const int interval = 5, samples = 5;
  std::vector<std::unique_ptr<dch_test::Listener>> hung;
  std::vector<std::string> good;
  std::string lines;
  for (int i = 0; i < 50; i++) {
    if (i == 10 || i == 35) {
      hung.push_back(std::make_unique<dch_test::Listener>());  // never accepts
      lines += "http://127.0.0.1:" + std::to_string(hung.back()->port()) +
               "/ INTERVAL=" + std::to_string(interval) + "\n";
      continue;
    }
    web_.WriteFile("s" + std::to_string(i) + ".html", "<title>S" + std::to_string(i) + "</title>");
    good.push_back(web_.Url("/s" + std::to_string(i) + ".html"));
    lines += good.back() + " INTERVAL=" + std::to_string(interval) + "\n";
  }
  URLs(lines);
  extraEnv_ = {{"QDVP_URL_MAX_REPLY_WAIT", "45"}, {"QDVP_URL_DATASET_PERIOD", "900"}};
  Launch("http");
  // Each good URL's arrival times at the peer, in milliseconds.
  auto arrivals = [&] {
    std::map<std::string, std::vector<double>> times;
    for (auto &r : dch_test::Query(peer_->Db(),
                                   "select json_extract(attrs,'$.URL'), julianday(received_at) * "
                                   "86400000.0 from rows where attribute_group='Managed_URL' "
                                   "order by id")) {
      times[r[0]].push_back(std::stod(r[1]));
    }
    return times;
  };
  std::map<std::string, std::vector<double>> times;
  auto enough = [&] {
    times = arrivals();
    for (const std::string &url : good) {
      if (times[url].size() < static_cast<size_t>(samples)) return false;
    }
    return true;
  };
  ASSERT_TRUE(WaitFor(enough, std::chrono::seconds(30 + 2 * interval * samples)))
      << Trace().substr(0, 4000);
  double worst = 0;
  std::string worstURL;
  for (const std::string &url : good) {
    const std::vector<double> &t = times[url];
    for (size_t i = 1; i < t.size(); i++) {
      double off = std::abs(t[i] - t[i - 1] - interval * 1000.0);
      if (off > worst) worst = off, worstURL = url;
    }
  }
  EXPECT_LT(worst, 1000.0) << worstURL << " was sampled " << worst << " ms off its schedule";
}

// DP_CONFIG requests and rules add and remove URLs, with their statuses and results, and the
// configuration file follows the list; without the file at the start the operator is told
// that no URL comes from it. The agent comes up 3 s after the data provider: the HTTP
// application's tables come online once it is there. A URL's removal row names its owner as
// the owner was added, whatever the case of the request.
TEST_F(URLWorld, RequestsAndRulesChangeTheList) {
  extraEnv_ = {{"QDVP_URL_PAGE_OBJECTS_REPORT", "N"}};
  StopPeer();
  Launch("http");
  std::this_thread::sleep_for(3s);  // the agent is started late on purpose
  ASSERT_NO_FATAL_FAILURE(StartPeer(PeerArgs()));
  ASSERT_TRUE(WaitFor([&] { return !Node().empty(); }, 20s)) << Trace();
  // Told once the URL manager has started, after the HTTP application came online.
  EXPECT_TRUE(WaitFor(
      [&] {
        return qdvp_->Stderr().find("QDVP HTTP WARNING: URL configuration file " +
                                    File("qdvpurls.cfg") + " cannot be read") != std::string::npos;
      },
      20s))
      << qdvp_->Stderr();
  std::string page = web_.Url("/index.html"), missing = web_.Url("/missing");
  Send(1, 1, "DP_CONFIG", "admin", "URLADD URL=" + page + " USER=ops ALIAS=board INTERVAL=1");
  // Each action has a worker of its own: the requests that depend on the first wait for it.
  ASSERT_TRUE(WaitFor([&] { return !Outcome(1).empty(); }, 20s)) << Trace();
  EXPECT_EQ(Outcome(1), "0|");
  Send(9, 2, "RULESTART", "Sit1",
       "INTERVAL=1 ATTRIBUTES=(Managed_URL.URL_Alias EQ web)(Managed_URL.URL EQ " +
           missing.substr(7) + ")");
  Send(10, 2, "RULESTART", "Sit2", "INTERVAL=1 ATTRIBUTES=(Managed_URL.URL EQ )");
  const struct {
    int id;
    std::string parameter, outcome;
  } refused[] = {
      {2, "URLADD URL=" + page + " USER=dev", "*****URL ADD action failed <" + page + ">"},
      {3, "URLREMOVE URL=" + page + " USER=dev", "*****URL REMOVE action failed <" + page + ">"},
      {4, "JQADD SERVER=s1", "Request unsupported for product JQ"},
      {5, "MNLADD LIST=core NODE=n1", "Managed Node List core not started"},
      {6, "FROBNICATE", "Invalid request FROBNICATE rejected"},
      {7, "", "Request parameter not included"},
      {8, "URLADD ALIAS=x", "***** URL not specified on action request"},
      // A line feed would have written a second line into the configuration file.
      {13, "URLADD URL=" + missing + "\\nhttp://evil.invalid/ USER=x",
       "*****URL ADD action failed <" + missing + "\nhttp://evil.invalid/>"}};
  for (const auto &r : refused) Send(r.id, 1, "DP_CONFIG", "admin", r.parameter);
  for (const auto &r : refused) {
    ASSERT_TRUE(WaitFor([&] { return !Outcome(r.id).empty(); }, 20s)) << r.id << Trace();
    EXPECT_EQ(Outcome(r.id), "-1|" + r.outcome) << r.id;
  }
  ASSERT_TRUE(WaitURL(page)) << Trace();
  ASSERT_TRUE(WaitURL(missing)) << Trace();
  EXPECT_EQ(Rows(page).back()["URL_Alias"], "board");
  EXPECT_EQ(Rows(missing).back()["User_Name"], "Sit1");
  EXPECT_EQ(Rows(missing).back()["URL_Alias"], "web");
  EXPECT_NE(Trace().find("Situation URL value is NULL"), std::string::npos);
  // The file is rewritten with both URLs.
  std::string config;
  ASSERT_TRUE(WaitFor(
      [&] {
        config = ReadFile(File("qdvpurls.cfg"));
        return config.find(missing) != std::string::npos;
      },
      15s))
      << config;
  EXPECT_NE(config.find(page + " INTERVAL=1 CACHE=0 USER=ops ALIAS=board\n"), std::string::npos)
      << config;
  EXPECT_NE(config.find(missing + " INTERVAL=1 CACHE=0 USER=Sit1 ALIAS=web\n"), std::string::npos)
      << config;

  // Removing: the owner's request ends the URL (a row that deletes it at the agent), the rule's
  // stop ends the situation's.
  Send(11, 1, "DP_CONFIG", "admin", "URLREMOVE URL=" + page + " USER=OPS");
  Send(12, 2, "RULESTOP", "Sit1", "");
  ASSERT_TRUE(WaitFor([&] { return !Outcome(11).empty(); }, 20s));
  EXPECT_EQ(Outcome(11), "0|");
  auto deleted = [&](const std::string &url) {
    auto rows = Rows(url);
    return !rows.empty() && rows.back()["sequence"] == "221";
  };
  ASSERT_TRUE(WaitFor([&] { return deleted(page) && deleted(missing); }, 20s));
  EXPECT_EQ(Rows(page).back()["User_Name"], "ops");
  EXPECT_EQ(Rows(missing).back()["User_Name"], "Sit1");
  ASSERT_TRUE(WaitFor(
      [&] {
        config = ReadFile(File("qdvpurls.cfg"));
        return config.find(missing) == std::string::npos && config.find(page) == std::string::npos;
      },
      15s))
      << config;
  EXPECT_EQ(config.find("evil"), std::string::npos);
  size_t rows = Rows(page).size();
  // Objects were fetched but, with the report off, never sent.
  EXPECT_EQ(Count("URL_Objects"), 0);
  EXPECT_NE(Trace().find("Bypass DCH update for URL={" + page), std::string::npos);
  EXPECT_FALSE(WaitFor([&] { return Rows(page).size() > rows; }, 3s));
}

const char kAgent[] = "qdvp-test/1.0";
const char kBasic[] = "Basic cWR2cDpzZWNyZXQ=";  // qdvp:secret

// What one request gave: its status, the thread's dictionary for that status, the body and the
// times.
struct Result {
  uint32_t status = 0;
  int code = -1;
  std::string text;
  std::vector<std::pair<int, std::string>> headers;
  uint32_t open = 0;
  std::string body;
  long total = -1;
  HTQ1_TIMES times{};

  std::string Header(int wanted) const {
    for (const auto &[code, text] : headers) {
      if (code == wanted) return text;
    }
    return "(none)";
  }
};

// One GET through a client of its own; examine sees the activity before it is deleted.
Result Fetch(const std::string &url, int version = HTQ1_HTTP11, const Adjust &adjust = {},
             const std::string &authorization = "",
             const std::function<void(HTQ1_ACTIVITY *)> &examine = {}) {
  Result r;
  HTQ1_CLIENT *client = nullptr;
  EXPECT_EQ(HTQ1_NewClient(&client, version, 0, 0), HTQ1_OK);
  HTQ1_OPTIONS o;
  HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, &o, nullptr);
  o.flags |= HTQ1_OPT_TIMINGS;
  snprintf(o.userAgent, sizeof(o.userAgent), "%s", kAgent);
  o.timeoutSeconds = 10;
  if (adjust) adjust(&o);
  HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, nullptr, &o);
  HTQ1_HEADER header = {HTQ1_HDR_AUTHORIZATION, static_cast<int>(authorization.size()),
                        authorization.c_str()};
  HTQ1_ACTIVITY *activity = nullptr;
  EXPECT_EQ(HTQ1_NewActivity(client, &activity, url.c_str(), static_cast<int>(url.size()), 0,
                             authorization.empty() ? 0 : 1, &header),
            HTQ1_OK);
  r.status = HTQ1_RequestActivity(activity, 0);
  HTQ1_DICTIONARY *dict = nullptr;
  EXPECT_EQ(HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, &dict, r.status), HTQ1_OK);
  r.code = dict->code;
  r.text = dict->text;
  for (int i = 0; i < dict->count; i++) {
    r.headers.emplace_back(dict->headers[i].code, dict->headers[i].text);
    EXPECT_EQ(static_cast<size_t>(dict->headers[i].length), strlen(dict->headers[i].text));
  }
  r.open = HTQ1_OpenEntity(activity, 0);
  if (r.open == HTQ1_OK) {
    long size = 0;
    if (HTQ1_Get(activity, nullptr, &size, &r.total) == HTQ1_BUFFER_TOO_SMALL) {
      r.body.resize(static_cast<size_t>(size));
      EXPECT_EQ(HTQ1_Get(activity, r.body.data(), &size, &r.total), HTQ1_OK);
    }
  }
  EXPECT_EQ(HTQ1_QueryTimes(activity, &r.times), HTQ1_OK);
  if (examine) examine(activity);
  EXPECT_EQ(HTQ1_DeleteActivity(activity), HTQ1_OK);
  EXPECT_EQ(HTQ1_DeleteClient(client, 0), HTQ1_OK);
  return r;
}

class http_Client : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(HTQ1_Initialize(), HTQ1_OK);
    std::string many;
    for (int i = 0; i < 60; i++) many += " add_header X-Many-" + std::to_string(i) + " " + "v;";
    web_ = new Nginx("    location = /headers { add_header X-Qdvp one; return 200 'x'; }\n" +
                     ("    location = /many {" + many + " return 200 'x'; }\n"));
    web_->WriteFile("big.bin", std::string(40 * 1024, 'b'));
    web_->WriteFile("small.html", std::string(64, 'm'));
    if (!web_->Start()) {
      ADD_FAILURE() << web_->Problem();
      delete web_;
      web_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete web_;
    web_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(web_, nullptr); }

  static Nginx *web_;
};
Nginx *http_Client::web_ = nullptr;

// How a case's request is made: to nginx over HTTP/1.1 (kHttp), over HTTP/1.0, with the
// credentials of /private/, over TLS without and with nginx's certificate trusted; to a URL as
// written; to a port nobody listens on.
enum How { kHttp, kHttp10, kHttpAuth, kHttps, kHttpsTrusted, kLiteral, kRefused };
struct Case {
  const char *name;
  How how;
  const char *target;  // a path, or the whole URL for kLiteral
  uint32_t status;
  int code;
  const char *text;
  int header;         // a header expected in the dictionary, 0 for none
  const char *value;  // its text; a leading '@' stands for http://127.0.0.1:PORT
};

const char kLost[] = "client connection has been lost";
const Case kCases[] = {
    {"Page", kHttp, "/index.html", HTQ1_OK, 200, "OK", HTQ1_HDR_CONTENT_TYPE, "text/html"},
    {"PageStatusLine", kHttp, "/", HTQ1_OK, 200, "OK", HTQ1_HDR_STATUS_LINE, "HTTP/1.1 200 OK"},
    {"OtherHeader", kHttp, "/headers", HTQ1_OK, 200, "OK", HTQ1_HDR_OTHER, "X-Qdvp: one"},
    {"Missing", kHttp, "/missing", HTQ1_HTTP_ERROR + 404, 404, "Not Found", HTQ1_HDR_STATUS_LINE,
     "HTTP/1.1 404 Not Found"},
    // nginx's own reason phrase
    {"Busy", kHttp, "/busy", HTQ1_HTTP_ERROR + 503, 503, "Service Temporarily Unavailable", 0, ""},
    {"Redirect", kHttp, "/chain/0", HTQ1_REDIRECT_TEMPORARY, 302, "Moved Temporarily",
     HTQ1_HDR_LOCATION, "@/index.html"},
    {"RelativeRedirect", kHttp, "/relative", HTQ1_REDIRECT_TEMPORARY, 302, "Moved Temporarily",
     HTQ1_HDR_LOCATION, "/index.html"},
    {"Dropped", kHttp, "/drop", HTQ1_CONNECTION_ABANDONED, 0, kLost, 0, ""},
    {"OldOver11", kHttp, "/old", HTQ1_CONNECTION_ABANDONED, 0, kLost, 0, ""},
    {"OldOver10", kHttp10, "/old", HTQ1_OK, 200, "OK", HTQ1_HDR_CONTENT_TYPE, "text/html"},
    {"PrivateNoAuth", kHttp, "/private/", HTQ1_AUTHENTICATION_REQUIRED, 401, "Unauthorized",
     HTQ1_HDR_AUTHENTICATE, "Basic realm=\"qdvp\""},
    {"PrivateAuth", kHttpAuth, "/private/", HTQ1_OK, 200, "OK", 0, ""},
    {"TlsUntrusted", kHttps, "/index.html", HTQ1_CERTIFICATE_REFUSED, 0,
     "server certificate is not trusted", 0, ""},
    {"TlsTrusted", kHttpsTrusted, "/index.html", HTQ1_OK, 200, "OK", HTQ1_HDR_CONTENT_TYPE,
     "text/html"},
    {"Unresolved", kLiteral, "http://no-such-host.invalid/", HTQ1_UNRESOLVED, 0,
     "URI authority is not a recognized network address", 0, ""},
    {"BadUrl", kLiteral, "http://exa mple/", HTQ1_INVALID_URL, 0, "URI is not valid", 0, ""},
    {"OtherScheme", kLiteral, "ftp://127.0.0.1/", HTQ1_INVALID_URL, 0, "URI is not valid", 0, ""},
    {"Refused", kRefused, "/", HTQ1_CONNECT_FAILED, 0, "connection to the server failed", 0, ""},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class http_Case : public http_Client, public testing::WithParamInterface<Case> {};

TEST_P(http_Case, StatusAndDictionary) {
  const Case &c = GetParam();
  bool tls = c.how == kHttps || c.how == kHttpsTrusted;
  std::string url = tls                 ? web_->TlsUrl(c.target)
                    : c.how == kLiteral ? c.target
                    : c.how == kRefused
                        ? "http://127.0.0.1:" + std::to_string(qdvp_test::FreePort()) + c.target
                        : web_->Url(c.target);
  std::string ca = c.how == kHttpsTrusted ? web_->CaFile() : "";
  Result r = Fetch(
      url, c.how == kHttp10 ? HTQ1_HTTP10 : HTQ1_HTTP11,
      [&](HTQ1_OPTIONS *o) { snprintf(o->caFile, sizeof(o->caFile), "%s", ca.c_str()); },
      c.how == kHttpAuth ? kBasic : "");
  EXPECT_EQ(r.status, c.status) << std::hex << r.status << " " << HTQ1_StatusText(r.status, 0);
  EXPECT_EQ(r.code, c.code);
  EXPECT_EQ(r.text, c.text);
  if (c.header != 0) {
    std::string value = c.value;
    if (!value.empty() && value[0] == '@') value = web_->Url(value.substr(1));
    EXPECT_EQ(r.Header(c.header), value);
  }
  bool answered = c.code != 0;
  EXPECT_EQ(r.open == HTQ1_OK, answered);
  if (c.status == HTQ1_OK) {
    EXPECT_FALSE(r.body.empty());
  }
  if (!tls || !answered) {
    EXPECT_EQ(r.times.certificateDays, -9999);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, http_Case, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.name);
                         });

void ExpectOrdered(const HTQ1_TIMES &t) {
  EXPECT_GE(t.nameLookup, 0);
  EXPECT_LE(t.nameLookup, t.connect);
  EXPECT_LE(t.connect, t.appConnect);
  EXPECT_LE(t.appConnect, t.preTransfer);
  EXPECT_LE(t.preTransfer, t.startTransfer);
  EXPECT_LE(t.startTransfer, t.total);
  EXPECT_GT(t.total, 0);
}

TEST_F(http_Client, PhaseTimesCertificateDaysTimeOutsAndResets) {
  std::string ca = web_->CaFile();
  Result tls = Fetch(web_->TlsUrl("/index.html"), HTQ1_HTTP11, [&](HTQ1_OPTIONS *o) {
    snprintf(o->caFile, sizeof(o->caFile), "%s", ca.c_str());
  });
  ASSERT_EQ(tls.status, HTQ1_OK);
  ExpectOrdered(tls.times);
  EXPECT_GT(tls.times.appConnect, tls.times.connect);
  EXPECT_TRUE(tls.times.certificateDays == 29 || tls.times.certificateDays == 30)
      << tls.times.certificateDays;

  Result plain = Fetch(web_->Url("/index.html"));
  ASSERT_EQ(plain.status, HTQ1_OK);
  ExpectOrdered(plain.times);
  EXPECT_EQ(plain.times.appConnect, plain.times.connect);
  EXPECT_EQ(plain.times.certificateDays, -9999);

  Result untimed = Fetch(web_->Url("/index.html"), HTQ1_HTTP11,
                         [](HTQ1_OPTIONS *o) { o->flags &= ~HTQ1_OPT_TIMINGS; });
  EXPECT_EQ(untimed.times.total, -1);
  EXPECT_EQ(untimed.times.certificateDays, -9999);

  Result failed = Fetch("http://127.0.0.1:" + std::to_string(qdvp_test::FreePort()) + "/");
  EXPECT_EQ(failed.times.startTransfer, 0);
  EXPECT_EQ(failed.times.preTransfer, 0);
  dch_test::Listener silent;  // never accepts
  auto start = std::chrono::steady_clock::now();
  Result r = Fetch("http://127.0.0.1:" + std::to_string(silent.port()) + "/", HTQ1_HTTP11,
                   [](HTQ1_OPTIONS *o) { o->timeoutSeconds = 1; });
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, HTQ1_TIMED_OUT);
  EXPECT_EQ(r.text, "client connection has been lost");
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 3.0);

  r = Fetch(web_->Url("/slow.bin"), HTQ1_HTTP11, [](HTQ1_OPTIONS *o) { o->timeoutSeconds = 1; });
  EXPECT_EQ(r.status, HTQ1_TIMED_OUT);

  qdvp_test::ResettingServer resetting;
  r = Fetch("http://127.0.0.1:" + std::to_string(resetting.Port()) + "/");
  EXPECT_EQ(r.status, HTQ1_CONNECTION_ABANDONED) << std::hex << r.status;
  EXPECT_NE(r.open, HTQ1_OK);
  EXPECT_EQ(resetting.Requests().size(), 1u);

  // A request whose owner's abandon test says stop ends within about a second, however late
  // its server would answer; the same test saying nothing lets it have its answer.
  qdvp_test::SlowServer slow;
  slow.Route("/late", 20s, "", "late");
  slow.Route("/soon", 300ms, "", "soon");
  HTQ1_CLIENT *client = nullptr;
  ASSERT_EQ(HTQ1_NewClient(&client, HTQ1_HTTP11, 0, 0), HTQ1_OK);
  std::atomic<int> stop{0};
  auto abandon = [](void *flag) { return static_cast<std::atomic<int> *>(flag)->load(); };
  for (const char *path : {"/soon", "/late"}) {
    SCOPED_TRACE(path);
    std::string url = slow.Url(path);
    HTQ1_ACTIVITY *activity = nullptr;
    ASSERT_EQ(HTQ1_NewActivity(client, &activity, url.c_str(), static_cast<int>(url.size()), 0, 0,
                               nullptr),
              HTQ1_OK);
    ASSERT_EQ(HTQ1_AbandonWhen(activity, abandon, &stop), HTQ1_OK);
    bool late = strcmp(path, "/late") == 0;
    std::thread owner([&] {
      if (!late) return;
      ASSERT_TRUE(WaitFor([&] { return slow.Received(path) == 1; }));
      stop = 1;
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(HTQ1_RequestActivity(activity, 0), late ? HTQ1_ABANDONED : HTQ1_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    owner.join();
    EXPECT_STREQ(HTQ1_StatusText(late ? HTQ1_ABANDONED : HTQ1_OK, nullptr),
                 late ? "request abandoned" : "OK");
    HTQ1_DeleteActivity(activity);
  }
  HTQ1_DeleteClient(client, 0);
}

// A body beyond the limit is counted, not kept; at most HTQ1_MAX_HEADERS headers are kept; a Get
// into a small buffer says what is needed. Every call refuses a missing client; the options of a
// new client have their defaults.
TEST_F(http_Client, LimitsOfBodyHeadersAndBuffersNullSafeCallsAndDefaultOptions) {
  Result r =
      Fetch(web_->Url("/big.bin"), HTQ1_HTTP11, [](HTQ1_OPTIONS *o) { o->maxBodyBytes = 100; });
  ASSERT_EQ(r.status, HTQ1_OK);
  EXPECT_EQ(r.body, std::string(100, 'b'));
  EXPECT_EQ(r.total, 40 * 1024);
  r = Fetch(web_->Url("/big.bin"), HTQ1_HTTP11, [](HTQ1_OPTIONS *o) { o->maxBodyBytes = 0; });
  EXPECT_EQ(r.body.size(), 40u * 1024);  // 0: the default limit, 4 MB

  r = Fetch(web_->Url("/many"));
  ASSERT_EQ(r.status, HTQ1_OK);
  ASSERT_EQ(r.headers.size(), static_cast<size_t>(HTQ1_MAX_HEADERS));
  EXPECT_EQ(r.headers[0].first, HTQ1_HDR_STATUS_LINE);

  Fetch(web_->Url("/small.html"), HTQ1_HTTP11, {}, "", [](HTQ1_ACTIVITY *activity) {
    char buffer[80] = {};
    long size = 10, total = 0;
    EXPECT_EQ(HTQ1_Get(activity, buffer, &size, &total), HTQ1_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 64);
    EXPECT_EQ(buffer[0], '\0');
    size = sizeof(buffer);
    EXPECT_EQ(HTQ1_Get(activity, buffer, &size, &total), HTQ1_OK);
    EXPECT_EQ(size, 64);
    EXPECT_EQ(total, 64);
    EXPECT_EQ(std::string(buffer, 64), std::string(64, 'm'));
  });

  EXPECT_EQ(HTQ1_NewClient(nullptr, HTQ1_HTTP11, 0, 0), HTQ1_NO_CLIENT);
  HTQ1_ACTIVITY *activity = nullptr;
  EXPECT_EQ(HTQ1_NewActivity(nullptr, &activity, "http://x/", 9, 0, 0, nullptr), HTQ1_NO_CLIENT);
  EXPECT_EQ(activity, nullptr);
  EXPECT_EQ(HTQ1_RequestActivity(nullptr, 0), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_OpenEntity(nullptr, 0), HTQ1_NO_CLIENT);
  long size = 0;
  EXPECT_EQ(HTQ1_Get(nullptr, nullptr, &size, nullptr), HTQ1_NO_CLIENT);
  HTQ1_TIMES times;
  EXPECT_EQ(HTQ1_QueryTimes(nullptr, &times), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_DeleteActivity(nullptr), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_DeleteClient(nullptr, 0), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_ClientOptions(nullptr, HTQ1_OPTION_SET_REQUEST, nullptr, nullptr), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, nullptr, 0), HTQ1_NO_CLIENT);

  HTQ1_CLIENT *client = nullptr;
  ASSERT_EQ(HTQ1_NewClient(&client, HTQ1_HTTP10, 0, 0), HTQ1_OK);
  HTQ1_OPTIONS o;
  ASSERT_EQ(HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, &o, nullptr), HTQ1_OK);
  EXPECT_EQ(o.flags, HTQ1_OPT_VERIFY_PEER | HTQ1_OPT_FRESH_CONNECTION);
  EXPECT_EQ(o.timeoutSeconds, 45);
  EXPECT_EQ(o.maxBodyBytes, 4L * 1024 * 1024);
  EXPECT_STREQ(o.proxy, "");
  EXPECT_STREQ(o.caFile, "");
  HTQ1_DeleteClient(client, 0);
}

TEST_F(http_Client, ProxyFromTheOptionsOnlyAndTheDictionaryBelongsToTheCallingThread) {
  CannedServer proxy("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false);
  std::string where = "127.0.0.1:" + std::to_string(proxy.Port());
  Result r = Fetch("http://example.invalid/x", HTQ1_HTTP11, [&](HTQ1_OPTIONS *o) {
    snprintf(o->proxy, sizeof(o->proxy), "%s", where.c_str());
    snprintf(o->proxyUser, sizeof(o->proxyUser), "qdvp");
    snprintf(o->proxyPassword, sizeof(o->proxyPassword), "secret");
  });
  EXPECT_EQ(r.status, HTQ1_OK) << std::hex << r.status;
  EXPECT_EQ(r.body, "ok");
  r = Fetch("http://example.invalid/y", HTQ1_HTTP11,
            [&](HTQ1_OPTIONS *o) { snprintf(o->proxy, sizeof(o->proxy), "%s", where.c_str()); });
  EXPECT_EQ(r.status, HTQ1_OK);
  std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET http://example.invalid/x HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("\r\nProxy-Authorization: " + std::string(kBasic) + "\r\n"),
            std::string::npos)
      << requests[0];
  EXPECT_EQ(requests[1].find("Proxy-Authorization"), std::string::npos) << requests[1];

  // The environment's proxy variables are never used.
  EnvGuard env({{"http_proxy", "http://" + where},
                {"HTTPS_PROXY", "http://" + where},
                {"ALL_PROXY", "http://" + where}});
  EXPECT_EQ(Fetch(web_->Url("/index.html")).status, HTQ1_OK);
  EXPECT_EQ(proxy.Requests().size(), 2u);
  EXPECT_EQ(Fetch(web_->Url("/missing")).status, HTQ1_HTTP_ERROR + 404);
  std::thread other([] { EXPECT_EQ(Fetch(web_->Url("/index.html")).status, HTQ1_OK); });
  other.join();
  HTQ1_DICTIONARY *dict = nullptr;
  ASSERT_EQ(HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, &dict, HTQ1_HTTP_ERROR + 404), HTQ1_OK);
  EXPECT_EQ(dict->code, 404);
  ASSERT_GT(dict->count, 0);
  EXPECT_STREQ(dict->headers[0].text, "HTTP/1.1 404 Not Found");
}

}  // namespace
