// What URL monitoring reads out of a page and how it words and counts a sample: the page title,
// the objects a page names, the URL as monitored, the status text of a row, and the response
// time statistics of a sample set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/support/htq1.h"
#include "include/qdvp_http.h"

namespace {

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
      {"<title>Two\nlines</title>", "Two"},                  // the first line only
      {"<title>" + std::string(400, 'x') + "</title>", std::string(255, 'x')},
      {"<title></title>", none},
      {"<title>never closed", none},
      {"<body>no title</body>", none},
      {"", none},
  };
  for (const Case &c : cases) EXPECT_EQ(Title(c.page), c.title) << c.page.substr(0, 40);
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
  QDVP_FindPageObjects(exact.data(), static_cast<long>(exact.size()), "http://h/", nullptr,
                       nullptr, QDVP_URL_OBJECT_LIST_MAX);
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

TEST(RowStatus, SaysOkTheCodeAndTextOrTheFailure) {
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
}

TEST(ResponseTime, AveragesOverTheSamplesTakenThenOverTheSet) {
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

}  // namespace
