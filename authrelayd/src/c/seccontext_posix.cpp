// Security contexts over GSSAPI (MIT Kerberos).
//
// The configured package names a mechanism set: "Negotiate" is SPNEGO
// restricted to Kerberos (and NTLM when an NTLM mechanism is installed),
// "Kerberos" and "NTLM" are those mechanisms alone. The acceptor's keys come
// from the keytab that the environment names (KRB5_KTNAME). Refusals carry
// the status codes that the Windows packages give for the same situations.
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>

#include "failure.h"
#include "log.h"
#include "seccontext.h"

namespace authrelay {
namespace {

constexpr char kLogUnit[] = "src/c/seccontext";

constexpr FailureCode kSecInvalidToken = MakeFailure(0x80090308u);   // SEC_E_INVALID_TOKEN
constexpr FailureCode kSecLogonDenied = MakeFailure(0x8009030Cu);    // SEC_E_LOGON_DENIED
constexpr FailureCode kSecNoCredentials = MakeFailure(0x8009030Eu);  // SEC_E_NO_CREDENTIALS
constexpr FailureCode kSecPackageNotFound = MakeFailure(0x80090305u); // SEC_E_SECPKG_NOT_FOUND
constexpr FailureCode kSecInvalidHandle = MakeFailure(0x80090301u);  // SEC_E_INVALID_HANDLE
constexpr FailureCode kSecContextExpired = MakeFailure(0x80090317u); // SEC_E_CONTEXT_EXPIRED

gss_OID_desc kKrb5Mech = {9, const_cast<char *>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};
// The Kerberos OID as old Windows clients mistakenly send it.
gss_OID_desc kKrb5WrongMech = {9, const_cast<char *>("\x2a\x86\x48\x82\xf7\x12\x01\x02\x02")};
gss_OID_desc kNtlmMech = {10, const_cast<char *>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};
gss_OID_desc kSpnegoMech = {6, const_cast<char *>("\x2b\x06\x01\x05\x05\x02")};

bool SameOid(gss_const_OID a, gss_const_OID b)
{
    return a && b && a->length == b->length && std::memcmp(a->elements, b->elements, a->length) == 0;
}

bool MechInstalled(gss_const_OID mech)
{
    OM_uint32 minor = 0;
    gss_OID_set mechs = GSS_C_NO_OID_SET;
    if (GSS_ERROR(gss_indicate_mechs(&minor, &mechs)))
        return false;
    bool found = false;
    for (size_t i = 0; i < mechs->count && !found; ++i)
        found = SameOid(&mechs->elements[i], mech);
    gss_release_oid_set(&minor, &mechs);
    return found;
}

// The major and minor descriptions of a GSSAPI status on one line.
std::string GssText(OM_uint32 major, OM_uint32 minor, gss_OID mech)
{
    std::string text;
    auto append = [&](OM_uint32 code, int type) {
        OM_uint32 more = 0, discard = 0;
        do {
            gss_buffer_desc piece = GSS_C_EMPTY_BUFFER;
            if (GSS_ERROR(gss_display_status(&discard, code, type, mech, &more, &piece)))
                return;
            if (!text.empty())
                text += "; ";
            text.append(static_cast<const char *>(piece.value), piece.length);
            gss_release_buffer(&discard, &piece);
        } while (more != 0);
    };
    append(major, GSS_C_GSS_CODE);
    if (minor != 0)
        append(minor, GSS_C_MECH_CODE);
    return text;
}

// The Windows status that a refused GSSAPI call stands for.
FailureCode StatusOf(OM_uint32 major)
{
    switch (GSS_ROUTINE_ERROR(major)) {
    case GSS_S_BAD_MECH:
    case GSS_S_DEFECTIVE_TOKEN:
    case GSS_S_BAD_SIG:
        return kSecInvalidToken;
    case GSS_S_NO_CRED:
    case GSS_S_DEFECTIVE_CREDENTIAL:
        return kSecNoCredentials;
    case GSS_S_NO_CONTEXT:
        return kSecInvalidHandle;
    case GSS_S_CONTEXT_EXPIRED:
    case GSS_S_CREDENTIALS_EXPIRED:
        return kSecContextExpired;
    default:
        return kSecLogonDenied; // replays, wrong service, clock skew, anything else
    }
}

void LogGss(LogLevel level, const char16_t *what, OM_uint32 major, OM_uint32 minor, FailureCode code)
{
    if (!IsLogEnabled(level))
        return;
    std::string text = GssText(major, minor, GSS_C_NO_OID);
    AR_LOG(level, u"%s:%S(0x%08x)", what, text.c_str(), static_cast<uint32_t>(code));
}

struct OidSet {
    gss_OID_set set = GSS_C_NO_OID_SET;
    ~OidSet()
    {
        OM_uint32 minor = 0;
        if (set != GSS_C_NO_OID_SET)
            gss_release_oid_set(&minor, &set);
    }
    bool Add(gss_OID mech)
    {
        OM_uint32 minor = 0;
        if (set == GSS_C_NO_OID_SET && GSS_ERROR(gss_create_empty_oid_set(&minor, &set)))
            return false;
        return !GSS_ERROR(gss_add_oid_set_member(&minor, mech, &set));
    }
};

class SecContextImpl final : public SecContext {
public:
    explicit SecContextImpl(const String &package);
    ~SecContextImpl() override;
    SecContextImpl(const SecContextImpl &) = delete;
    SecContextImpl &operator=(const SecContextImpl &) = delete;

    bool Accept(const Blob &input, Blob &output) override;
    bool Initiate(const Blob &input, Blob &output, const String &target) override;
    bool GetClientName(String &principal) override;
    bool GetPackageName(String &package) override;
    bool IsEstablished() override { return established_; }

private:
    void AcquireCredentials();
    void ReleaseName();

    gss_cred_id_t credentials_ = GSS_C_NO_CREDENTIAL;
    gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
    OM_uint32 credentialsExpiry_ = 0;
    uint32_t noContext_ = 1;
    String package_;
    bool established_ = false;
    gss_name_t client_ = GSS_C_NO_NAME; // the initiator, once a leg names it
    const char16_t *negotiated_ = nullptr; // the package negotiation chose
};

SecContextImpl::SecContextImpl(const String &package) : package_(package)
{
    try {
        AcquireCredentials();
    } catch (...) {
        AR_LOG(kLogError, u"SecContextImpl constructor failed");
        throw;
    }
}

void SecContextImpl::AcquireCredentials()
{
    const std::string name = package_.GetUtf8();
    const bool ntlm = MechInstalled(&kNtlmMech);
    OidSet acquire, negotiate;
    bool ok;
    if (name == "Negotiate") {
        // Only SPNEGO is acquired; what it may negotiate is then restricted
        // to the set below, so no other installed mechanism is reachable.
        ok = acquire.Add(&kSpnegoMech) && negotiate.Add(&kKrb5Mech) && (!ntlm || negotiate.Add(&kNtlmMech));
    } else if (name == "Kerberos") {
        ok = acquire.Add(&kKrb5Mech);
    } else if (name == "NTLM" && ntlm) {
        ok = acquire.Add(&kNtlmMech);
    } else {
        AR_LOG(kLogError, u"AcquireCredentialsHandle failed in SecContextImpl constructor: %d",
               kSecPackageNotFound);
        ThrowFailure(kSecPackageNotFound);
    }
    if (!ok)
        ThrowFailure(kFailOutOfMemory);

    OM_uint32 minor = 0;
    OM_uint32 major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, acquire.set, GSS_C_ACCEPT,
                                       &credentials_, nullptr, &credentialsExpiry_);
    if (!GSS_ERROR(major) && negotiate.set != GSS_C_NO_OID_SET)
        major = gss_set_neg_mechs(&minor, credentials_, negotiate.set);
    if (GSS_ERROR(major)) {
        FailureCode code = StatusOf(major);
        LogGss(kLogError, u"gss_acquire_cred", major, minor, code);
        AR_LOG(kLogError, u"AcquireCredentialsHandle failed in SecContextImpl constructor: %d", code);
        if (credentials_ != GSS_C_NO_CREDENTIAL)
            gss_release_cred(&minor, &credentials_);
        ThrowFailure(code);
    }
}

SecContextImpl::~SecContextImpl()
{
    OM_uint32 minor = 0;
    ReleaseName();
    if (!noContext_ && context_ != GSS_C_NO_CONTEXT)
        gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
    if (credentials_ != GSS_C_NO_CREDENTIAL)
        gss_release_cred(&minor, &credentials_);
}

void SecContextImpl::ReleaseName()
{
    OM_uint32 minor = 0;
    if (client_ != GSS_C_NO_NAME)
        gss_release_name(&minor, &client_);
}

bool SecContextImpl::Accept(const Blob &input, Blob &output)
{
    gss_buffer_desc in = {input.Size(), const_cast<uint8_t *>(input.Data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    gss_name_t client = GSS_C_NO_NAME;
    gss_OID mech = GSS_C_NO_OID;
    OM_uint32 minor = 0;
    OM_uint32 major = gss_accept_sec_context(&minor, &context_, credentials_, &in, GSS_C_NO_CHANNEL_BINDINGS,
                                             &client, &mech, &out, nullptr, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        OM_uint32 discard = 0;
        if (out.value)
            gss_release_buffer(&discard, &out);
        if (client != GSS_C_NO_NAME)
            gss_release_name(&discard, &client);
        // A refused first leg leaves no context; a later one may have had
        // its context deleted by the mechanism.
        noContext_ = context_ == GSS_C_NO_CONTEXT ? 1 : 0;
        LogGss(kLogWarning, u"AcceptSecurityContext failed", major, minor, StatusOf(major));
        return false;
    }
    noContext_ = 0;
    try {
        output.Set(static_cast<uint32_t>(out.length), out.value);
    } catch (...) {
        SecureZero(out.value, out.length);
        gss_release_buffer(&minor, &out);
        if (client != GSS_C_NO_NAME)
            gss_release_name(&minor, &client);
        throw;
    }
    SecureZero(out.value, out.length);
    gss_release_buffer(&minor, &out);
    if (client != GSS_C_NO_NAME) {
        ReleaseName();
        client_ = client;
    }
    // The mechanism OID may live in the context, so keep its name only.
    if (SameOid(mech, &kKrb5Mech) || SameOid(mech, &kKrb5WrongMech))
        negotiated_ = u"Kerberos";
    else if (SameOid(mech, &kNtlmMech))
        negotiated_ = u"NTLM";
    established_ = (major & GSS_S_CONTINUE_NEEDED) == 0;
    AR_LOG(kLogTrace, u"AcceptSecurityContext result:%S(0x%08x)",
           established_ ? "The operation completed successfully" : "Continue needed",
           established_ ? 0u : 0x00090312u);
    return true;
}

bool SecContextImpl::Initiate(const Blob &, Blob &, const String &)
{
    // Credentials are acquired for inbound use only.
    AR_LOG(kLogWarning, u"InitializeSecurityContext failed:%S(0x%08x)", "No credentials are available in the security package",
           static_cast<uint32_t>(kSecNoCredentials));
    return false;
}

bool SecContextImpl::GetClientName(String &principal)
{
    if (!established_ || client_ == GSS_C_NO_NAME) {
        AR_LOG(kLogError, u"ImpersonateSecurityContext failed in SecContextImpl::GetClientName:%S(0x%08x)",
               "The handle specified is invalid", static_cast<uint32_t>(kSecInvalidHandle));
        return false;
    }
    OM_uint32 minor = 0;
    gss_buffer_desc shown = GSS_C_EMPTY_BUFFER;
    OM_uint32 major = gss_display_name(&minor, client_, &shown, nullptr);
    if (GSS_ERROR(major)) {
        LogGss(kLogError, u"Failed to retrieve SAM account name for current user", major, minor, StatusOf(major));
        return false;
    }
    std::string name(static_cast<const char *>(shown.value), shown.length);
    SecureZero(shown.value, shown.length);
    gss_release_buffer(&minor, &shown);

    // user@REALM (Kerberos) or DOMAIN\user (NTLM): the user, an at sign and
    // the domain as a lower-case DNS name.
    std::string user, domain;
    size_t at = name.rfind('@');
    size_t slash = name.find('\\');
    if (at != std::string::npos) {
        user = name.substr(0, at);
        domain = name.substr(at + 1);
    } else if (slash != std::string::npos) {
        domain = name.substr(0, slash);
        user = name.substr(slash + 1);
    }
    SecureZero(name.data(), name.size());
    if (user.empty() || domain.empty()) {
        AR_LOG(kLogError, u"GetDcName failed in for domain %S in SecContextImpl::MakeUPN", domain.c_str());
        SecureZero(user.data(), user.size());
        return false;
    }
    for (char &c : domain)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string upn = user + "@" + domain;
    std::u16string wide = Utf8ToUtf16(upn.data(), upn.size());
    if (wide.size() > kPrincipalUnits)
        wide.resize(kPrincipalUnits);
    bool ok = true;
    try {
        principal.Set(wide.c_str());
    } catch (...) {
        ok = false;
    }
    SecureZero(user.data(), user.size());
    SecureZero(upn.data(), upn.size());
    SecureZero(wide.data(), wide.size() * sizeof(char16_t));
    return ok;
}

bool SecContextImpl::GetPackageName(String &package)
{
    if (negotiated_ == nullptr) {
        AR_LOG(kLogError, u"QueryContextAttributes failed in SecContextImpl::GetPackageName:%S(0x%08x)",
               "The handle specified is invalid", static_cast<uint32_t>(kSecInvalidHandle));
        return false;
    }
    package.Set(negotiated_);
    return true;
}

} // namespace

SecContext *CreateSecContext(const String &package)
{
    return new (std::nothrow) SecContextImpl(package);
}

} // namespace authrelay
