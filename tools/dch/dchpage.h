// The agent peer's page: `qdvp-dch --http ADDR:PORT` serves a read-only page and its JSON
// endpoints (dchview.h) over HTTP, with GNU libmicrohttpd.
//
// The server runs on a thread of its own (libmicrohttpd's internal polling thread), which
// alone answers requests and alone uses the page's database connection, so the peer's event
// loop never waits for a reader and a reader never sees a turn before its commit. Only GET and
// HEAD are answered (405 otherwise); at most 32 connections at a time, each idle for at most
// 10 seconds, with requests of at most 16 KiB (a longer request line or header is refused by
// the library). Start and Stop are called from the main thread; nothing here throws.
#pragma once

#include <memory>
#include <string>

#include "tools/dch/dchview.h"

struct MHD_Daemon;

namespace qdvp_dch {

class DchPage {
 public:
  DchPage(std::unique_ptr<DchViewDb> db, std::string host);
  ~DchPage();
  DchPage(const DchPage &) = delete;
  DchPage &operator=(const DchPage &) = delete;

  // Listens on address ("ADDR:PORT", "[V6]:PORT" or "PORT" for 127.0.0.1). False with
  // *error when the address is malformed or cannot be bound.
  bool Start(const std::string &address, std::string *error);
  void Stop();
  // The port listened on (the one chosen when the address asked for port 0).
  int Port() const { return port_; }
  // "http://127.0.0.1:8080/"
  const std::string &Url() const { return url_; }

  // Used by the library's thread only.
  DchViewDb *Db() const { return db_.get(); }
  const std::string &Host() const { return host_; }

 private:
  std::unique_ptr<DchViewDb> db_;
  std::string host_;
  MHD_Daemon *daemon_ = nullptr;
  int port_ = 0;
  std::string url_;
};

}  // namespace qdvp_dch
