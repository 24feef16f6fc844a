// Corvid time stamps: sixteen digits of years since 1900 (three), month, day, hour, minute,
// second (two each) and milliseconds (three), in local time; sixteen zeros mean no time.
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

#include "qdv0.h"

namespace {
const char kNoTime[] = "0000000000000000";

int Digits(const char *p, int n) {
  int v = 0;
  for (int i = 0; i < n; i++) {
    if (!isdigit(static_cast<unsigned char>(p[i]))) return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// Breaks a stamp into a struct tm; false when it is no valid date.
bool StampToTm(const char *stamp, struct tm *t) {
  if (stamp == nullptr || strlen(stamp) < QDV0_CORVID_TIME_LEN) return false;
  int year = Digits(stamp, 3), mon = Digits(stamp + 3, 2), day = Digits(stamp + 5, 2);
  int hour = Digits(stamp + 7, 2), min = Digits(stamp + 9, 2), sec = Digits(stamp + 11, 2);
  if (year < 0 || mon < 1 || mon > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || min < 0 ||
      min > 59 || sec < 0 || sec > 60)
    return false;
  memset(t, 0, sizeof(*t));
  t->tm_year = year;
  t->tm_mon = mon - 1;
  t->tm_mday = day;
  t->tm_hour = hour;
  t->tm_min = min;
  t->tm_sec = sec;
  t->tm_isdst = -1;
  return true;
}

void FormatStamp(const struct tm *t, int ms, char *stamp) {
  char text[64];
  snprintf(text, sizeof(text), "%03d%02d%02d%02d%02d%02d%03d", t->tm_year % 1000, t->tm_mon + 1,
           t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec, ms % 1000);
  memcpy(stamp, text, QDV0_CORVID_TIME_LEN);
  stamp[QDV0_CORVID_TIME_LEN] = '\0';
}
}  // namespace

char *QDV0_ConvertTimeToCorvidTime(time_t time, char *stamp) {
  struct tm t;
  localtime_r(&time, &t);
  FormatStamp(&t, 0, stamp);
  return stamp;
}

char *QDV0_GetCorvidTime(char *buffer) {
  if (QDV0_IsManualClock()) return QDV0_ConvertTimeToCorvidTime(QDV0_Time(), buffer);
  OSV1_TIMESTAMP now;
  OSV1_GetTime(&now);
  time_t seconds = now.seconds;
  struct tm t;
  localtime_r(&seconds, &t);
  FormatStamp(&t, static_cast<int>(now.nanoseconds / 1000000), buffer);
  return buffer;
}

char *QDV0_CorvidTimeToString(const char *stamp, char *text) {
  struct tm t;
  if (!StampToTm(stamp, &t)) {
    strcpy(text, "00/00/00 00:00:00");
    return text;
  }
  char display[64];
  snprintf(display, sizeof(display), "%02d/%02d/%02d %02d:%02d:%02d", t.tm_mon + 1, t.tm_mday,
           (t.tm_year + 1900) % 100, t.tm_hour, t.tm_min, t.tm_sec);
  memcpy(text, display, 17);
  text[17] = '\0';
  return text;
}

time_t QDV0_CorvidTimeToTime(const char *stamp) {
  struct tm t;
  if (!StampToTm(stamp, &t)) return -1;
  return mktime(&t);
}

int QDV0_CorvidTimeToWeekDay(const char *stamp) {
  struct tm t;
  if (!StampToTm(stamp, &t)) return -1;
  if (mktime(&t) == -1) return -1;
  return t.tm_wday;
}

char *QDV0_StringToCorvidTime(char *text) {
  if (text == nullptr) return nullptr;
  int a = 0, b = 0, c = 0, hour = 0, min = 0, sec = 0;
  char s1 = 0, s2 = 0;
  int fields = sscanf(text, "%d%c%d%c%d %d:%d:%d", &a, &s1, &b, &s2, &c, &hour, &min, &sec);
  struct tm t;
  memset(&t, 0, sizeof(t));
  bool ok = fields == 5 || fields == 7 || fields == 8;
  ok = ok && s1 == s2 && (s1 == '/' || s1 == '-' || s1 == '.');
  if (ok) {
    int year, mon, day;
    if (a > 31) {  // year first: YYYY-MM-DD
      year = a, mon = b, day = c;
    } else {  // MM/DD/YY or MM/DD/YYYY
      mon = a, day = b, year = c;
      if (year < 100) year += year < 70 ? 2000 : 1900;
    }
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    ok = t.tm_year >= 0 && t.tm_year < 1000 && mon >= 1 && mon <= 12 && day >= 1 && day <= 31 &&
         hour >= 0 && hour < 24 && min >= 0 && min < 60 && sec >= 0 && sec <= 60;
  }
  if (!ok) {
    memcpy(text, kNoTime, sizeof(kNoTime));
    return text;
  }
  char stamp[QDV0_CORVID_TIME_LEN + 1];
  FormatStamp(&t, 0, stamp);
  memcpy(text, stamp, sizeof(stamp));
  return text;
}

uint32_t QDV0_RandomWord(void) {
  uint32_t word = 0;
  if (getrandom(&word, sizeof(word), 0) != static_cast<ssize_t>(sizeof(word))) {
    // No generator: the time and the address of a local give a word that differs by run.
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    word =
        static_cast<uint32_t>(now.tv_nsec ^ (now.tv_sec << 20) ^ reinterpret_cast<uintptr_t>(&now));
  }
  return word;
}
