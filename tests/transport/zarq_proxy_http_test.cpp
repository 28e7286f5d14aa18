// The proxy client's HTTP reading, fed through a socket pair whose writing
// end is closed after the canned input: what each call returns and what it
// leaves unread.
#include "transport/zarq_proxy_http.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "loopback.h"

namespace {

// The reading end of a pair that holds `input` and then the end of stream.
loopback::Fd Feed(const std::string& input) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return loopback::Fd();
  loopback::Fd reader(sv[0]), writer(sv[1]);
  if (!loopback::SendAll(writer.get(), input)) return loopback::Fd();
  return reader;
}

PROXY_TARGET_INFO Target() { return PROXY_TARGET_INFO{const_cast<char*>("10.0.0.1"), 443}; }

ZARQ_PROXY_AUTH_DATA Auth() {
  static char user[] = "abc", pw[] = "pw", dom[] = "dom1", host[] = "xyz";
  return ZARQ_PROXY_AUTH_DATA{user, pw, dom, host, 0, 1, 1, 0};
}

TEST(ProxyHttp, ReadOneLineTakesNothingAfterTheLineFeed) {
  loopback::Fd fd = Feed("abc\r\ndef");
  char buf[64];
  EXPECT_EQ(5, ZARQProxyClientReadOneLine(fd.get(), buf, sizeof buf, kProxyTimeout));
  EXPECT_STREQ("abc\r\n", buf);
  EXPECT_EQ(-1, ZARQProxyClientReadOneLine(fd.get(), buf, sizeof buf, kProxyTimeout));  // "def", then the end
  loopback::Fd small = Feed("abcdef\n");
  EXPECT_EQ(-8, ZARQProxyClientReadOneLine(small.get(), buf, 4, kProxyTimeout));
  EXPECT_STREQ("abc", buf);
  EXPECT_EQ(-8, ZARQProxyClientReadOneLine(small.get(), buf, 1, kProxyTimeout));
  EXPECT_EQ("def\n", loopback::RecvToEnd(small.get()));
}

TEST(ProxyHttp, StatusLineTable) {
  struct Case {
    std::string line;
    int want;
  } cases[] = {
      {"HTTP/1.1 200 Connection established\r\n", 200},
      {"HTTP/1.0 200 OK\r\n", 200},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n", 407},
      {"HTTP/1.1   502\r\n", 502},
      {"HTTP/1.1 OK\r\n", -5},  // no code
      {"HTTP/2 200\r\n", -5},
      {"FTP/1.1 200\r\n", -5},
      {"HTTP/1.1 -200\r\n", -5},
      {"HTTP/1.1 99999999999 big\r\n", -5},
      {"HTTP/1.1 200", -1},  // the stream ends before the line does
      {"", -1},
      {"HTTP/1.1 200 " + std::string(1100, 'x') + "\r\n", -1},  // over 1023 bytes
  };
  for (const Case& c : cases) {
    loopback::Fd fd = Feed(c.line);
    EXPECT_EQ(c.want, ZARQProxyGetHttpResponseCode(fd.get())) << c.line.substr(0, 40);
  }
}

TEST(ProxyHttp, HeaderLinesAreParsedAndBounded) {
  {
    loopback::Fd fd = Feed("Key: value \r\nNoColon\r\n: nokey\r\nEmpty:\r\nProxy-Authenticate:   NTLM abc\r\n\r\nrest");
    ProxyHttpHeaderList h;
    ASSERT_EQ(0, ZARQProxyClientParseHttpHeader(fd.get(), &h.head, &h.tail));
    ASSERT_NE(nullptr, h.head);
    EXPECT_EQ("Key", h.head->szKey);
    EXPECT_EQ("value", h.head->szValue);
    ASSERT_NE(nullptr, h.head->NextEntry);
    EXPECT_EQ("NTLM abc", h.head->NextEntry->szValue);
    EXPECT_EQ(nullptr, h.head->NextEntry->NextEntry);
    EXPECT_EQ("rest", loopback::RecvToEnd(fd.get()));
  }
  auto lines = [](int n, size_t len) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "X-" + std::string(len - 6, 'a') + ": \r\n";
    return s + "\r\n";
  };
  struct Case {
    const char* what;
    std::string input;
    int want;
  } cases[] = {
      {"100 lines", lines(100, 10), 0},
      {"101 lines", lines(101, 10), -1},
      {"8191 bytes", lines(1, 8191), 0},
      {"8192 bytes", lines(1, 8192), -1},
      {"no blank line", "Key: v\r\n", -1},
  };
  for (const Case& c : cases) {
    loopback::Fd fd = Feed(c.input);
    ProxyHttpHeaderList h;
    EXPECT_EQ(c.want, ZARQProxyClientParseHttpHeader(fd.get(), &h.head, &h.tail)) << c.what;
  }
}

TEST(ProxyHttp, HeaderListLookups) {
  ProxyHttpHeaderList h;
  ASSERT_EQ(0, ZARQProxyClientHttpHdrListAdd(&h.head, &h.tail, "A", "1"));
  ASSERT_EQ(0, ZARQProxyClientHttpHdrListAdd(&h.head, &h.tail, "B", "2"));
  ASSERT_EQ(0, ZARQProxyClientHttpHdrListAdd(&h.head, &h.tail, "A", "3"));
  EXPECT_EQ(-1, ZARQProxyClientHttpHdrListAdd(&h.head, &h.tail, "A", nullptr));
  EXPECT_STREQ("1", ZARQProxyClientHttpHdrListGetValByKey(h.head, "A").get());
  EXPECT_EQ(nullptr, ZARQProxyClientHttpHdrListGetValByKey(h.head, "a").get());  // keys are case-sensitive
  pPROXY_HTTP_HEADER_ENTRY first = ZARQProxyClientHttpHdrListGetNextEntryByKey(h.head, "A", nullptr);
  pPROXY_HTTP_HEADER_ENTRY second = ZARQProxyClientHttpHdrListGetNextEntryByKey(h.head, "A", first);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ("3", second->szValue);
  EXPECT_EQ(nullptr, ZARQProxyClientHttpHdrListGetNextEntryByKey(h.head, "A", second));
  ZARQProxyClientHttpHdrListFree(&h.head, &h.tail);
  EXPECT_EQ(nullptr, h.head);
  EXPECT_EQ(nullptr, h.tail);
}

// One answer, the handling's result, and the bytes it must leave unread.
TEST(ProxyHttp, ResponseHandlingTable) {
  const std::string body20(20, 'b');
  struct Case {
    const char* what;
    PROXY_AUTH_TYPE type;
    std::string input;
    int want;
    std::string left;
  } cases[] = {
      {"407 with a length: body dropped", PROXY_NO_AUTH,
       "HTTP/1.1 407 Auth\r\nContent-Length: 20\r\n\r\n" + body20 + "NEXT", -3, "NEXT"},
      {"lower-case length not recognised", PROXY_BASIC_AUTH,
       "HTTP/1.1 407 Auth\r\ncontent-length: 20\r\n\r\n" + body20 + "NEXT", -3, body20 + "NEXT"},
      {"407 with a type only: up to the blank line", PROXY_NO_AUTH,
       "HTTP/1.0 407 Auth\r\nContent-Type: text/html\r\n\r\n<html>x</html>\r\n\r\nNEXT", -3, "NEXT"},
      {"200 has no body, even with a type", PROXY_NO_AUTH,
       "HTTP/1.1 200 Connection established\r\nContent-Type: text/html\r\n\r\nTUNNEL\r\n\r\n", 0,
       "TUNNEL\r\n\r\n"},
      {"200 with a length: the bytes are the target's", PROXY_NO_AUTH,
       "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nDATA", 0, "DATA"},
      {"a length that is not plain decimal", PROXY_NO_AUTH,
       "HTTP/1.1 407 Auth\r\nContent-Length: +20\r\n\r\n" + body20, -3, body20},
      {"a length above the bound", PROXY_NO_AUTH,
       "HTTP/1.1 407 Auth\r\nContent-Length: 99999999999999999999999\r\n\r\nNEXT", -3, "NEXT"},
      {"a short body changes nothing", PROXY_NO_AUTH, "HTTP/1.1 407 Auth\r\nContent-Length: 20\r\n\r\nabc", -3, ""},
      {"401", PROXY_BASIC_AUTH, "HTTP/1.0 401 Unauthorized\r\n\r\n", -5, ""},
      {"no code", PROXY_NO_AUTH, "HTTP/1.1 OK\r\n\r\n", -5, "\r\n"},
      {"headers cut short", PROXY_NO_AUTH, "HTTP/1.1 200 OK\r\nA: b\r\n", -1, ""},
      {"NTLM without a challenge", PROXY_NTLM_AUTH, "HTTP/1.1 407 Auth\r\nProxy-Authenticate: Basic\r\n\r\n", -2,
       ""},
      {"NTLM challenge of 24 bytes", PROXY_NTLMv2_AUTH,
       "HTTP/1.1 407 Auth\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAAAAAAAAAAAAAAAAAA\r\n\r\n", -2, ""},
  };
  for (const Case& c : cases) {
    loopback::Fd fd = Feed(c.input);
    PROXY_TARGET_INFO target = Target();
    ZARQ_PROXY_AUTH_DATA auth = Auth();
    EXPECT_EQ(c.want, ZARQProxyClientHandleHttpResponse(fd.get(), c.type, &target, &auth)) << c.what;
    EXPECT_EQ(c.left, loopback::RecvToEnd(fd.get())) << c.what;
  }
}

TEST(ProxyHttp, ResponseHandlingParameterChecks) {
  loopback::Fd fd = Feed("HTTP/1.1 200 OK\r\n\r\n");
  PROXY_TARGET_INFO target = Target();
  PROXY_TARGET_INFO no_address{nullptr, 1};
  EXPECT_EQ(-6, ZARQProxyClientHandleHttpResponse(fd.get(), PROXY_BASIC_AUTH, &target, nullptr));
  EXPECT_EQ(-6, ZARQProxyClientHandleHttpResponse(fd.get(), PROXY_NO_AUTH, &no_address, nullptr));
  EXPECT_EQ(-6, ZARQProxyClientHandleHttpResponse(fd.get(), PROXY_NO_AUTH, nullptr, nullptr));
  EXPECT_EQ(0, ZARQProxyClientHandleHttpResponse(fd.get(), PROXY_NO_AUTH, &target, nullptr));
}

TEST(ProxyHttp, SendToAClosedPeerFailsWithoutASignal) {
  loopback::Pair p = loopback::MakePair();
  p.b.reset();
  const std::string data(1 << 20, 'x');
  EXPECT_EQ(-1, ZARQProxyClientPacketSend(p.a.get(), data.data(), data.size(), kProxyTimeout));
}

}  // namespace
