#include "host_side/host_replies.h"

#include <QCoreApplication>
#include <QStringList>
#include <QThread>

#include <cstring>

#include "bridge/bridge_link.h"
#include "bridge/user_info.h"
#include "core/log.h"
#include "host_side/host_turns.h"
#include "protocol/relay_limits.h"

namespace hostside {

namespace {
FrameSink& sink() {
  static FrameSink s;
  return s;
}
}  // namespace

void setFrameSink(FrameSink s) { sink() = std::move(s); }

void sendFrame(const QString& code, const QString& text) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() == app->thread()) countAnswerBytes(text.size());
  if (sink() && app && QThread::currentThread() != app->thread()) {
    QMetaObject::invokeMethod(app, [code, text] { sendFrame(code, text); }, Qt::QueuedConnection);
    return;
  }
  if (sink())
    sink()(code, text);
  else
    SendToBridge(code, text);
}

MsgBack makeMsgBack(const QString& code, const QString& token, const QString& session, vex::Json data) {
  const QStringList pieces = session.split(QLatin1Char('|'), Qt::SkipEmptyParts);
  MsgBack back;
  back.Data = std::move(data);
  back.Token = token;
  back.ClientID1 = pieces.value(0);
  back.ClientID2 = pieces.value(1);
  back.ClientIDRemote = back.ClientID1 == UserInfo::shared()->ClientID ? back.ClientID2 : back.ClientID1;
  back.Session = session;
  back.Code = code;
  return back;
}

}  // namespace hostside

QString failureReason(int error) {
  const char* text = ::strerrordesc_np(error);  // thread-safe, unlike strerror
  return QStringLiteral("Error: ") + (text ? QString::fromUtf8(text) : QString::number(error));
}

vex::Json busyReply() { return vex::Json{{"Result", 0}, {"Info", "busy"}}; }

vex::Json tooLargeReply() { return vex::Json{{"Result", 0}, {"Info", "the answer is too large"}}; }

qint64 sendWSDCReply(const MsgBack& back) {
  auto text = back.toJSONString();
  if (text && qint64(text->size()) > protocol::kMaxRelayControlMessage) {
    // The relay would not carry it: the peer hears so at once, and the bridge
    // is spared reading it.
    zlog::parts(QStringLiteral("SendWSDCReply - reply too large for the relay, refused -"), zlog::excerpt(back.Code));
    MsgBack refusal = back;
    refusal.Data = tooLargeReply();
    text = refusal.toJSONString();
  }
  if (!text) {
    zlog::parts(QStringLiteral("SendWSDCReply - reply not written -"), zlog::excerpt(back.Code));
    return 0;
  }
  hostside::sendFrame(QStringLiteral("WSDC"), QString::fromStdString(*text));
  return qint64(text->size());
}

void SendWSDCReply(const QString& code, const QString& token, const QString& session, vex::Json data) {
  sendWSDCReply(hostside::makeMsgBack(code, token, session, std::move(data)));
}
