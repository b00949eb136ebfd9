// zqmqtt over TLS to mosquitto with a certificate authority made by the test:
// the right CA and name connect; another CA, another name, or a listener
// that never speaks TLS are refused within the handshake deadline.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/mqtt/mq_test_util.h"

namespace {

std::string tls_config(const std::string &host, int port, const std::string &ca,
                       const std::string &extra = "") {
    return "  broker: \"mqtts://" + host + ":" + std::to_string(port) + "\"\n  ca_file: \"" + ca +
           "\"\n  prefix: site\n  takt_ms: 50\n" + extra;
}

TEST(Tls, TrustedBrokerByAddressAndByName) {
    ASSERT_TRUE(mqt::pki::get().ok);
    mqt::broker br;
    ASSERT_TRUE(br.start({.tls = true}));
    mqt::subscriber sub;
    ASSERT_TRUE(sub.start(br.port, "site/#"));
    for (const char *host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        mqt::bridge b;
        b.config(tls_config(host, br.tls_port, mqt::pki::get().ca));
        b.maps(R"({"pub":[{"tag":"A1","topic":"t"}]})");
        b.set_a(1, 5);
        size_t before = sub.count("site/t");
        ASSERT_TRUE(b.start());
        ASSERT_TRUE(sub.wait_count("site/t", before + 1)) << b.log();
        std::string log = b.log();
        EXPECT_NE(std::string::npos, log.find("mqtt: TLS TLSv1.3, шифр ")) << log;
        EXPECT_TRUE(tsup::wait_for(
            [&] { return b.status().find("\"connected\":1,") != std::string::npos; }));
        EXPECT_NE(std::string::npos, b.status().find("\"tls\":1"));
    }
}

TEST(Tls, UntrustedCaOrOtherNameIsRefused) {
    mqt::pki &p = mqt::pki::get();
    ASSERT_TRUE(p.ok);
    mqt::broker br;
    ASSERT_TRUE(br.start({.tls = true}));
    mqt::bridge b;
    b.config(tls_config("127.0.0.1", br.tls_port, p.other_ca));
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("(tls)")) << b.log();
    EXPECT_NE(std::string::npos, b.log().find("mqtt: TLS handshake: ")) << b.log();
    EXPECT_EQ(0u, tsup::count_of(b.log(), "підключено до"));

    mqt::broker named;
    ASSERT_TRUE(
        named.start({.tls = true, .cert = p.other_name_cert, .key = p.dir / "othername.key"}));
    mqt::bridge c;
    c.config(tls_config("127.0.0.1", named.tls_port, p.ca));
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(c.wait_log("(tls)")) << c.log();
    EXPECT_NE(std::string::npos, c.log().find("IP address mismatch")) << c.log();
    EXPECT_EQ(0u, tsup::count_of(c.log(), "підключено до"));

    // Without checks the same broker is accepted, with a warning.
    mqt::bridge d;
    d.config(tls_config("127.0.0.1", named.tls_port, p.other_ca, "  tls_insecure: true\n"));
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_log("mqtt: підключено до")) << d.log();
    EXPECT_NE(std::string::npos, d.log().find("TLS БЕЗ перевірки сертифіката (tls_insecure=1)"));
}

TEST(Tls, ListenerThatNeverSpeaksTlsIsDropped) {
    int port = 0;
    int lfd = tsup::tcp_listen(&port);
    ASSERT_GE(lfd, 0);
    mqt::bridge b;
    b.config(tls_config("127.0.0.1", port, mqt::pki::get().ca));
    ASSERT_TRUE(b.start());
    int cfd = -1;
    ASSERT_TRUE(
        tsup::wait_for([&] { return (cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; }));
    // The handshake deadline ends the wait for a server hello.
    ASSERT_TRUE(b.wait_log("(tls)", 1, 15000)) << b.log();
    EXPECT_TRUE(tsup::child_running(&b.proc));
    close(cfd);
    close(lfd);
}

}  // namespace
