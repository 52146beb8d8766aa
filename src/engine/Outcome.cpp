#include "engine/Outcome.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "engine/ExtTCPSocket.h"
#include "net/BlockSocket.h"
#include "net/NetUtil.h"

namespace kova {

bool TRelayOutcome::Failed() const {
  switch (End) {
    case TRelayEnd::NoFreeSlot:
    case TRelayEnd::NoServer:
    case TRelayEnd::ListUsedUp:
    case TRelayEnd::ProxyFailed:
    case TRelayEnd::HandlerFailed:
    case TRelayEnd::NotAllowed:
    case TRelayEnd::ServerReset:
    case TRelayEnd::SendFailed:
      return true;
    default:
      return false;
  }
}

std::string RelayEndText(TRelayEnd end) {
  switch (end) {
    case TRelayEnd::ClientClosed: return "客户端关闭";
    case TRelayEnd::ServerClosed: return "服务器关闭";
    case TRelayEnd::ClientReset: return "客户端重置连接";
    case TRelayEnd::ServerReset: return "服务器重置连接";
    case TRelayEnd::SendFailed: return "发送失败";
    case TRelayEnd::IdleRelease: return "空闲超时被清除";
    case TRelayEnd::UserDisconnect: return "被用户断开";
    case TRelayEnd::ProgramEnd: return "程序退出时结束";
    case TRelayEnd::NoFreeSlot: return "拒绝: 没有空闲的连接";
    case TRelayEnd::NoServer: return "拒绝: 没有可用的服务器";
    case TRelayEnd::ListUsedUp: return "失败: 服务器都无法连接";
    case TRelayEnd::ProxyFailed: return "失败: 代理服务器出错, 服务器列表保持不变";
    case TRelayEnd::HandlerFailed: return "内部错误";
    case TRelayEnd::NotAllowed: return "客户端不在允许列表中";
  }
  return "";
}

std::string ProxyTypeText(int proxyType) {
  switch (proxyType) {
    case 1: return "HTTP";
    case 2: return "SOCKS 4";
    case 3: return "SOCKS 5";
    default: return "不用代理";
  }
}

namespace {

std::string SystemText(int code) { return GetErrorDesc(code) + " (" + std::to_string(code) + ")"; }

std::string Socks5ReplyText(int code) {
  static const char* const texts[] = {"一般性失败", "规则不允许该连接", "网络不可达", "主机不可达",
                                      "连接被拒绝", "TTL 已过期", "不支持该命令", "不支持该地址类型"};
  if (code >= 1 && code <= 8) return texts[code - 1];
  return "未知应答码 " + std::to_string(code);
}

std::string Socks4ReplyText(int code) {
  switch (code) {
    case 91: return "请求被拒绝或失败 (91)";
    case 92: return "无法连接客户端的 identd (92)";
    case 93: return "identd 报告的用户标识不匹配 (93)";
    default: return "未知应答码 " + std::to_string(code);
  }
}

// 407 is the proxy's login refusal; some proxies answer a CONNECT with a
// wrong login with 401, which can only be about the proxy's own login too.
bool IsAuthStatus(const std::string& status) {
  return status.size() > 12 && (status.compare(9, 3, "407") == 0 || status.compare(9, 3, "401") == 0);
}

}  // namespace

bool ProxyItselfFailed(const TTCPBlockSocket& s, int proxyType) {
  switch (s.ProxyStop()) {
    case TProxyStop::Unreachable:
    case TProxyStop::NoGreeting:
    case TProxyStop::NoMethod:
    case TProxyStop::AuthRefused:
      return true;
    case TProxyStop::Refused:
      if (proxyType == 1) return IsAuthStatus(s.TunnelStatus());
      return proxyType == 2 && (s.SocksReplyCode() == 92 || s.SocksReplyCode() == 93);
    default:
      return false;
  }
}

std::string DescribeConnectFailure(const TTCPBlockSocket& s, int proxyType) {
  const int code = s.LastError();
  const std::string proxy = ProxyTypeText(proxyType) + " 代理";
  switch (s.ProxyStop()) {
    case TProxyStop::None:
      switch (code) {
        case 10061: return "目标服务器拒绝连接: " + SystemText(code);
        case 10060: return "连接目标服务器超时: " + SystemText(code);
        case 10051:
        case 10065: return "目标服务器不可达: " + SystemText(code);
        case 10038: return "连接被中止";
        case kErrHostNotFound: return "无法解析服务器地址: " + s.ResolveFailureText();
        default: return "无法连接目标服务器: " + SystemText(code);
      }
    case TProxyStop::Unreachable:
      if (code == kErrHostNotFound) return proxy + "无法连接: 无法解析代理地址: " + s.ResolveFailureText();
      return proxy + "无法连接: " + SystemText(code);
    case TProxyStop::NoGreeting:
      if (code == 10060) return proxy + "没有回应问候, 应答超时";
      if (code == 0 || code == kErrNetUnusable) return proxy + "对问候的应答无法识别";
      return proxy + "在回应问候前关闭连接: " + SystemText(code);
    case TProxyStop::NoAnswer:
      return code == 10060 ? proxy + "应答超时" : proxy + "在应答中途关闭连接: " + SystemText(code);
    case TProxyStop::BadAnswer: return proxy + "的应答无法识别";
    case TProxyStop::NoMethod: return proxy + ": 没有可接受的认证方式";
    case TProxyStop::AuthRefused: return proxy + ": 用户名或密码被拒绝";
    case TProxyStop::TooLong: return "用户名、密码或主机名过长, 无法发给" + proxy;
    case TProxyStop::NoIPv6: return proxy + "无法传送 IPv6 地址, 请改用 SOCKS 5 或 HTTP 代理";
    case TProxyStop::Refused:
      if (proxyType == 1) {
        const std::string status = s.TunnelStatus();
        return proxy + "拒绝: " + status + (IsAuthStatus(status) ? " (需要代理认证)" : "");
      }
      if (proxyType == 2) return proxy + "拒绝: " + Socks4ReplyText(s.SocksReplyCode());
      return proxy + "拒绝: " + Socks5ReplyText(s.SocksReplyCode());
  }
  return SystemText(code);
}

int64_t UnixMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

std::string IsoTime(int64_t unixMs) {
  const time_t seconds = static_cast<time_t>(unixMs / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  const long offset = local.tm_gmtoff / 60;
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(unixMs % 1000), offset < 0 ? '-' : '+', std::labs(offset) / 60,
                std::labs(offset) % 60);
  return text;
}

}  // namespace

std::string OutcomeLine(const TRelayOutcome& o) {
  std::string line = IsoTime(o.StartUnixMs) + " client=" + o.Client + " servers=[";
  for (size_t i = 0; i < o.Attempts.size(); ++i) {
    const TAttempt& a = o.Attempts[i];
    if (i) line += "; ";
    line += a.Server + (a.Ok ? " ok " : " failed ") + std::to_string(a.ConnectMs) + "ms";
    if (!a.Ok) line += ": " + a.Reason;
  }
  line += "] proxy=" + ProxyTypeText(o.ProxyType);
  if (!o.Proxy.empty()) line += " " + o.Proxy;
  if (!o.ProxyUser.empty()) line += " user=" + o.ProxyUser;
  line += " received=" + std::to_string(o.BytesReceived) + " sent=" + std::to_string(o.BytesSent);
  line += " duration=" + std::to_string(o.DurationMs) + "ms end=" + RelayEndText(o.End);
  if (!o.Detail.empty()) line += ": " + o.Detail;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';  // one outcome, one line, whatever a peer sent
  return line;
}

void TOutcomeRing::Add(TRelayOutcome outcome) {
  items_[static_cast<size_t>(next_)] = std::move(outcome);
  next_ = (next_ + 1) % kCapacity;
  if (count_ < kCapacity) ++count_;
}

std::vector<TRelayOutcome> TOutcomeRing::NewestFirst() const {
  std::vector<TRelayOutcome> out;
  out.reserve(static_cast<size_t>(count_));
  for (int i = 1; i <= count_; ++i) out.push_back(items_[static_cast<size_t>((next_ - i + kCapacity) % kCapacity)]);
  return out;
}

int TOutcomeRing::FailedSince(int64_t sinceUnixMs) const {
  int n = 0;
  for (int i = 0; i < count_; ++i) {
    const TRelayOutcome& o = items_[static_cast<size_t>(i)];
    n += o.Failed() && o.StartUnixMs >= sinceUnixMs;
  }
  return n;
}

namespace {
constexpr int kProxyTimeoutMs = 30000;

}  // namespace

void ApplyProxy(TExtTCPSocket& s, const TProxySettings& proxy) {
  s.SocksProxyHost.clear();
  s.SocksProxyPort.clear();
  s.TunnelProxyHost.clear();
  s.TunnelProxyPort.clear();
  std::string host, port;
  if (!SplitTarget(proxy.Text, host, port)) return;
  switch (proxy.Type) {
    case 1:
      s.TunnelProxyHost = host;
      s.TunnelProxyPort = port;
      s.TunnelUser = proxy.User;
      s.TunnelPassword = proxy.Password;
      s.TunnelTimeout = kProxyTimeoutMs;
      break;
    case 2:
    case 3:
      s.SocksProxyHost = host;
      s.SocksProxyPort = port;
      s.SocksUser = proxy.User;
      s.SocksPassword = proxy.Password;
      s.SocksTimeout = kProxyTimeoutMs;
      s.SocksVersion = proxy.Type == 2 ? TSocksType::Socks4 : TSocksType::Socks5;
      break;
    default:
      break;
  }
}

TAttempt ProbeServer(const std::string& server, const TProxySettings& proxy) {
  TAttempt a;
  a.Server = server;
  std::string host, port;
  if (!UsableTarget(server, host, port)) {
    a.Reason = "不是 IP:Port 形式的服务器地址";
    return a;
  }
  TExtTCPSocket s;
  ApplyProxy(s, proxy);
  const auto begin = std::chrono::steady_clock::now();
  s.Connect(host, port);
  a.ConnectMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - begin)
                                     .count());
  a.Ok = s.LastError() == 0;
  if (!a.Ok) a.Reason = DescribeConnectFailure(s, s.SocksProxyHost.empty() && s.TunnelProxyHost.empty() ? 0 : proxy.Type);
  s.TBlockSocket::Close();  // nothing was sent, nothing needs reading away
  return a;
}

}  // namespace kova
