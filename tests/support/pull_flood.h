// Strangers who ask a host to send a folder and drop each pull at its
// manifest, again and again: several accounts, each on hand-written relay
// connections of its own (one session to the host's share each, opened again
// whenever it closes), each session keeping `inFlight` pulls of `targets`
// under way (a folder named several times is walked as often). A
// manifest is answered with a cancel (or, with `silent`, never answered and
// forgotten); a pull the host refuses is asked again on the next tick.
#pragma once

#include "vantrel_harness.h"
#include "proc_stats.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pullflood {

using vantreltest::Json;

struct PullFlood {
  struct Link {
    std::unique_ptr<vantreltest::RawRelayClient> relay;
    std::string session;
    QElapsedTimer asked;        // since its last connect
    std::map<std::string, bool> pulls;  // under way, by transfer id
    int made = 0;
  };
  std::vector<Link> links;
  Json targets = Json::array();  // the host's folders, each asked for in every pull
  std::string tag = "OPEN";
  int inFlight = 4;
  bool silent = false;
  bool flooding = true;
  qint64 pulls = 0, manifests = 0, refused = 0;
  QTimer timer;

  // Signs in `sessions` relay connections of each account (email, password).
  bool start(const vantreltest::Service& service, const std::vector<std::pair<QString, QString>>& accounts,
             int sessions, int tickMs = 50) {
    for (const auto& [email, password] : accounts)
      for (int i = 0; i < sessions; ++i) {
        Link link;
        if (!(link.relay = vantreltest::rawRelayOnline(service, email, password))) return false;
        links.push_back(std::move(link));
      }
    QObject::connect(&timer, &QTimer::timeout, [this] { onTick(); });
    timer.start(tickMs);
    return true;
  }
  void stop() {
    flooding = false;
    timer.stop();
    links.clear();
  }

  // The operation and the transfer's code and id of a relayed text; a large
  // one (a manifest) is looked at, not parsed: its frame's code comes first
  // and its id last.
  static void read(const std::string& text, std::string* op, std::string* code, std::string* xid,
                   std::string* session) {
    if (text.size() < 64 * 1024) {
      const Json j = Json::parse(text, nullptr, false);
      if (!j.is_object()) return;
      *op = j.value("op", "");
      *session = j.value("Session", "");
      const Json frame = j.value("frame", Json::object());
      if (frame.is_object()) *code = frame.value("Code", ""), *xid = frame.value("Token", "");
      return;
    }
    auto valueAfter = [&](size_t at) {
      if (at == std::string::npos) return std::string();
      const size_t end = text.find('"', at);
      return end == std::string::npos ? std::string() : text.substr(at, end - at);
    };
    *op = "relay";
    const size_t c = text.find("\"Code\":\"");
    *code = valueAfter(c == std::string::npos ? c : c + 8);
    const size_t t = text.rfind("\"Token\":\"");
    *xid = valueAfter(t == std::string::npos ? t : t + 9);
  }

  void onTick() {
    for (size_t i = 0; i < links.size(); ++i) {
      Link& l = links[i];
      l.relay->pump();
      for (const std::string& text : l.relay->texts) {
        std::string op, code, xid, session;
        read(text, &op, &code, &xid, &session);
        if (op == "session") l.session = session, l.pulls.clear();
        if (op == "closed" && session == l.session) l.session.clear(), l.pulls.clear();
        if (op != "relay" || !l.pulls.count(xid)) continue;
        if (code == "manifest") {
          ++manifests;
          if (!silent) send(l, "cancel", xid, {{"why", "dropped"}});
          l.pulls.erase(xid);
        } else if (code == "cancel") {
          ++refused;
          l.pulls.erase(xid);
        }
      }
      l.relay->texts.clear();
      l.relay->binaries.clear();
      if (!flooding) continue;
      if (l.session.empty()) {
        if (!l.asked.isValid() || l.asked.elapsed() > 1000) {
          l.relay->sendText({{"op", "connect"}, {"ref", "p"}, {"hostname", "ann-host"}, {"tag", tag}});
          l.asked.start();
        }
        continue;
      }
      while (int(l.pulls.size()) < inFlight) {
        const std::string xid = "P" + std::to_string(i) + "-" + std::to_string(++l.made);
        l.pulls[xid] = true;
        ++pulls;
        send(l, "pull", xid, {{"targets", targets}});
      }
    }
  }

  static void send(Link& l, const char* code, const std::string& xid, const Json& msg) {
    l.relay->sendText({{"op", "relay"},
                       {"Session", l.session},
                       {"frame", {{"kind", "xfer"}, {"Token", xid}, {"Code", code}, {"Msg", msg}}}});
  }
};

}  // namespace pullflood
