// Test fixture: a throw-away MIT Kerberos KDC on loopback.
//
// The realm TEST.EXAMPLE has the user alice (key in the client keytab) and
// the services HTTP/relay.test.example (key in the service keytab) and
// HTTP/other.test.example (key in no keytab we accept with). The process
// environment is pointed at this realm, so the library's initiator and
// acceptor both use it; nothing resolves names through DNS.
#pragma once

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <vector>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "process.h"

namespace authrelay_test {

class Kdc {
public:
    static constexpr const char *kRealm = "TEST.EXAMPLE";
    static constexpr const char *kService = "HTTP@relay.test.example";
    static constexpr const char *kOtherService = "HTTP@other.test.example";

    Kdc()
    {
        const int port = FreeLoopbackPort();
        const std::string kdcAddress = "127.0.0.1:" + std::to_string(port);
        std::ofstream(folder_ / "krb5.conf")
            << "[libdefaults]\n default_realm = TEST.EXAMPLE\n dns_lookup_kdc = false\n"
            << " dns_lookup_realm = false\n dns_canonicalize_hostname = false\n rdns = false\n"
            << " udp_preference_limit = 1\n"
            << "[realms]\n TEST.EXAMPLE = {\n  kdc = " << kdcAddress << "\n }\n"
            << "[domain_realm]\n .test.example = TEST.EXAMPLE\n";
        std::ofstream(folder_ / "kdc.conf")
            << "[kdcdefaults]\n kdc_listen = " << kdcAddress << "\n kdc_tcp_listen = " << kdcAddress << "\n"
            << "[realms]\n TEST.EXAMPLE = {\n  database_name = " << folder_ / "principal" << "\n"
            << "  key_stash_file = " << folder_ / "stash" << "\n  acl_file = " << folder_ / "kadm5.acl" << "\n"
            << "  supported_enctypes = aes256-cts-hmac-sha1-96:normal\n }\n";
        std::ofstream(folder_ / "kadm5.acl");
        mkdir((folder_ / "rcache").c_str(), 0700);
        env_ = {"KRB5_CONFIG=" + folder_ / "krb5.conf", "KRB5_KDC_PROFILE=" + folder_ / "kdc.conf"};
        Export();
        Run({"/usr/sbin/kdb5_util", "create", "-s", "-r", kRealm, "-P", "master-password"});
        Admin("addprinc -pw alice-password alice");
        Admin("addprinc -randkey HTTP/relay.test.example");
        Admin("addprinc -randkey HTTP/other.test.example");
        Admin("ktadd -k " + folder_ / "service.keytab" + " HTTP/relay.test.example");
        Admin("ktadd -k " + folder_ / "alice.keytab" + " -norandkey alice");
        kdc_ = std::make_unique<testsupport::BackgroundProcess>(
            testsupport::ProcessSpec{{"/usr/sbin/krb5kdc", "-n"}, "", env_, {}});
        WaitForPort(port);
        env_.push_back("KRB5_KTNAME=FILE:" + folder_ / "service.keytab");
        env_.push_back("KRB5_CLIENT_KTNAME=FILE:" + folder_ / "alice.keytab");
        env_.push_back("KRB5CCNAME=MEMORY:authrelay-test");
        // Replay detection stays on: it is what refuses a relayed token twice.
        env_.push_back("KRB5RCACHEDIR=" + folder_ / "rcache");
        Export();
    }
    Kdc(const Kdc &) = delete;
    Kdc &operator=(const Kdc &) = delete;

    std::string path(const std::string &name) const { return folder_ / name; }

private:
    void Export() const
    {
        for (const std::string &e : env_) {
            size_t eq = e.find('=');
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
    }
    void Run(std::vector<std::string> argv)
    {
        auto result = testsupport::runProcess({argv, "", env_, {}});
        if (result.exitCode != 0)
            throw std::runtime_error(argv[0] + " failed: " + result.err);
    }
    void Admin(const std::string &query) { Run({"/usr/sbin/kadmin.local", "-r", kRealm, "-q", query}); }

    static int FreeLoopbackPort()
    {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            throw std::runtime_error("no free loopback port");
        close(s);
        return ntohs(a.sin_port);
    }
    void WaitForPort(int port)
    {
        for (int i = 0; i < 500; ++i) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            close(s);
            if (up)
                return;
            if (!kdc_->running())
                throw std::runtime_error("krb5kdc ended: " + kdc_->err());
            usleep(10000);
        }
        throw std::runtime_error("krb5kdc does not listen");
    }

    testsupport::ScratchFolder folder_;
    std::vector<std::string> env_;
    std::unique_ptr<testsupport::BackgroundProcess> kdc_;
};

} // namespace authrelay_test
