// Security contexts over GSSAPI against a real KDC on loopback.
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "gssclient.h"
#include "kdc.h"
#include "logcapture.h"
#include "seccontext.h"

using namespace authrelay;
using authrelay_test::GssClient;
using authrelay_test::Kdc;
using authrelay_test::LogCapture;
using authrelay_test::Token;

namespace {

Blob ToBlob(const Token &t)
{
    Blob b;
    b.Set(static_cast<uint32_t>(t.size()), t.data());
    return b;
}
Token ToToken(const Blob &b) { return Token(b.Data(), b.Data() + b.Size()); }
std::string Utf8(const String &s) { return s.GetUtf8(); }

std::unique_ptr<SecContext> Create(const char16_t *package)
{
    return std::unique_ptr<SecContext>(CreateSecContext(String(package)));
}

class AuthrelaySecContext : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        try {
            kdc_ = new Kdc;
        } catch (const std::exception &e) {
            kdcFailure_ = e.what();
        }
    }
    void SetUp() override { ASSERT_NE(kdc_, nullptr) << kdcFailure_; }
    static void TearDownTestSuite()
    {
        delete kdc_;
        kdc_ = nullptr;
    }

    // Relays client legs into ctx until both sides are done or one refuses.
    static bool Handshake(GssClient &client, SecContext &ctx, Token *firstToken = nullptr)
    {
        Token in, out;
        for (int leg = 0; leg < 5; ++leg) {
            if (!client.Step(in, out)) {
                ADD_FAILURE() << "initiator: " << client.error();
                return false;
            }
            if (leg == 0 && firstToken)
                *firstToken = out;
            if (out.empty() && client.complete())
                return ctx.IsEstablished();
            Blob answer;
            if (!ctx.Accept(ToBlob(out), answer))
                return false;
            in = ToToken(answer);
            if (ctx.IsEstablished()) {
                // The client checks the acceptor's answer (mutual authentication).
                return in.empty() || (client.Step(in, out) && client.complete());
            }
        }
        return false;
    }

    static Kdc *kdc_;
    static std::string kdcFailure_;
};
Kdc *AuthrelaySecContext::kdc_ = nullptr;
std::string AuthrelaySecContext::kdcFailure_;

TEST_F(AuthrelaySecContext, HandshakeNamesTheClientWithALowerCaseDnsDomainAndTheNegotiatedPackage)
{
    const struct {
        const char16_t *package;
        gss_OID mech;
    } cases[] = {{u"Kerberos", gss_mech_krb5}, {u"Negotiate", &authrelay_test::kSpnegoOid}};
    for (const auto &c : cases) {
        SCOPED_TRACE(String(c.package).GetUtf8());
        auto ctx = Create(c.package);
        ASSERT_TRUE(ctx);
        EXPECT_FALSE(ctx->IsEstablished());
        GssClient client(c.mech, Kdc::kService);
        ASSERT_TRUE(Handshake(client, *ctx));
        EXPECT_TRUE(ctx->IsEstablished());
        String principal, package;
        ASSERT_TRUE(ctx->GetClientName(principal));
        EXPECT_EQ(Utf8(principal), "alice@test.example");
        ASSERT_TRUE(ctx->GetPackageName(package));
        EXPECT_EQ(Utf8(package), "Kerberos");
    }
}

// Each refused token is a clean refusal: false, a warning, the output left
// alone and no name to report.
TEST_F(AuthrelaySecContext, RefusedTokensLeaveTheContextUnestablished)
{
    Token replayed;
    {
        auto first = Create(u"Negotiate");
        GssClient client(&authrelay_test::kSpnegoOid, Kdc::kService);
        ASSERT_TRUE(Handshake(client, *first, &replayed));
    }
    Token otherService;
    {
        GssClient client(&authrelay_test::kSpnegoOid, Kdc::kOtherService);
        ASSERT_TRUE(client.Step({}, otherService));
    }
    Token kerberosInSpnego;
    {
        GssClient client(&authrelay_test::kSpnegoOid, Kdc::kService);
        ASSERT_TRUE(client.Step({}, kerberosInSpnego));
    }
    const Token garbage = {0x60, 0x05, 0x06, 0x03, 0x2a, 0x03, 0x04, 0xde, 0xad, 0xbe, 0xef};
    const Token ntlmNegotiate = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 1, 0, 0, 0, 0x07, 0x82, 0x08, 0xa2,
                                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const struct {
        const char *what;
        const char16_t *package;
        Token token;
    } cases[] = {
        {"replayed token", u"Negotiate", replayed},
        {"ticket for another service", u"Negotiate", otherService},
        {"garbage", u"Negotiate", garbage},
        {"empty token", u"Kerberos", {}},
        {"SPNEGO to a Kerberos-only acceptor", u"Kerberos", kerberosInSpnego},
        {"NTLM to a Kerberos-only acceptor", u"Kerberos", ntlmNegotiate},
        {"NTLM to Negotiate without an NTLM mechanism", u"Negotiate", ntlmNegotiate},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        ASSERT_TRUE(log.configured());
        auto ctx = Create(c.package);
        ASSERT_TRUE(ctx);
        Blob output;
        output.Set(3, "old");
        EXPECT_FALSE(ctx->Accept(ToBlob(c.token), output));
        EXPECT_FALSE(ctx->IsEstablished());
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(output.Data()), output.Size()), "old");
        String principal;
        EXPECT_FALSE(ctx->GetClientName(principal));
        EXPECT_TRUE(log.Contains("WARN|AcceptSecurityContext failed:")) << log.Text();
    }
}

TEST_F(AuthrelaySecContext, ContextWhoseFirstLegWasRefusedIsDestroyedAndAFreshOneWorks)
{
    // A refused leg is answered by discarding the context; destroying it
    // then must release what it holds without a context handle.
    auto ctx = Create(u"Kerberos");
    Blob output;
    EXPECT_FALSE(ctx->Accept(ToBlob({1, 2, 3}), output));
    ctx.reset();

    auto fresh = Create(u"Kerberos");
    GssClient client(gss_mech_krb5, Kdc::kService);
    EXPECT_TRUE(Handshake(client, *fresh));
}

TEST_F(AuthrelaySecContext, UnknownPackageFailsConstructionWithItsStatus)
{
    for (const char16_t *package : {u"Digest", u"", u"negotiate"}) {
        SCOPED_TRACE(String(package).GetUtf8());
        LogCapture log;
        ASSERT_TRUE(log.configured());
        try {
            Create(package);
            ADD_FAILURE() << "constructed";
        } catch (long code) {
            EXPECT_EQ(static_cast<uint32_t>(code), 0x80090305u);
        }
        EXPECT_TRUE(log.Contains("ERROR|AcquireCredentialsHandle failed in SecContextImpl constructor: -2146893051"))
            << log.Text();
        EXPECT_TRUE(log.Contains("ERROR|SecContextImpl constructor failed"));
    }
}

TEST_F(AuthrelaySecContext, NameQueriesBeforeTheHandshakeCompletesFail)
{
    auto ctx = Create(u"Negotiate");
    String principal, package;
    EXPECT_FALSE(ctx->GetClientName(principal));
    EXPECT_FALSE(ctx->GetPackageName(package));
    EXPECT_TRUE(principal.IsEmpty());
}

} // namespace
