// Test fixture: a GSSAPI initiator, the client whose tokens the tests relay.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

namespace authrelay_test {

using Token = std::vector<uint8_t>;

inline gss_OID_desc kSpnegoOid = {6, const_cast<char *>("\x2b\x06\x01\x05\x05\x02")};

class GssClient {
public:
    // mech: gss_mech_krb5 or &kSpnegoOid; service: "HTTP@host".
    GssClient(gss_OID mech, const std::string &service) : mech_(mech)
    {
        OM_uint32 minor = 0;
        gss_buffer_desc name = {service.size(), const_cast<char *>(service.data())};
        gss_import_name(&minor, &name, GSS_C_NT_HOSTBASED_SERVICE, &target_);
    }
    ~GssClient()
    {
        OM_uint32 minor = 0;
        if (context_ != GSS_C_NO_CONTEXT)
            gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
        gss_release_name(&minor, &target_);
    }
    GssClient(const GssClient &) = delete;
    GssClient &operator=(const GssClient &) = delete;

    // One initiator leg; false when the library refused it.
    bool Step(const Token &input, Token &output)
    {
        OM_uint32 minor = 0;
        gss_buffer_desc in = {input.size(), const_cast<uint8_t *>(input.data())};
        gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
        major_ = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context_, target_, mech_, GSS_C_MUTUAL_FLAG,
                                      0, GSS_C_NO_CHANNEL_BINDINGS, input.empty() ? GSS_C_NO_BUFFER : &in,
                                      nullptr, &out, nullptr, nullptr);
        output.assign(static_cast<uint8_t *>(out.value), static_cast<uint8_t *>(out.value) + out.length);
        gss_release_buffer(&minor, &out);
        if (GSS_ERROR(major_))
            error_ = Describe(major_, GSS_C_GSS_CODE) + "; " + Describe(minor, GSS_C_MECH_CODE);
        return !GSS_ERROR(major_);
    }
    bool complete() const { return major_ == GSS_S_COMPLETE; }
    // The library's description of the last refusal.
    const std::string &error() const { return error_; }

private:
    static std::string Describe(OM_uint32 code, int type)
    {
        OM_uint32 minor = 0, more = 0;
        gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
        gss_display_status(&minor, code, type, GSS_C_NO_OID, &more, &text);
        std::string s(static_cast<const char *>(text.value), text.length);
        gss_release_buffer(&minor, &text);
        return s;
    }

    std::string error_;
    gss_OID mech_;
    gss_name_t target_ = GSS_C_NO_NAME;
    gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
    OM_uint32 major_ = GSS_S_FAILURE;
};

} // namespace authrelay_test
