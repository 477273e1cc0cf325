#include "TlsTrust.h"

#include "GstHandles.h"

#include <gio/gio.h>
#include <gst/gst.h>

namespace zephyrscope {

using namespace gsthandles;

std::string TlsTrust::caFileError(const std::string& path)
{
    GError* raw = nullptr;
    std::unique_ptr<GTlsDatabase, GObjectUnref> database(g_tls_file_database_new(path.c_str(), &raw));
    ErrorPtr error(raw);
    if (!database)
        return error && error->message ? error->message : "it holds no certificate";
    return {};
}

void TlsTrust::applyTo(GstElement* source, const std::string& caFile)
{
    if (caFile.empty() || !g_object_class_find_property(G_OBJECT_GET_CLASS(source), "ssl-ca-file"))
        return;
    g_object_set(source, "ssl-ca-file", caFile.c_str(), nullptr);
}

std::string TlsTrust::certificateProblems(unsigned flags)
{
    static const struct {
        GTlsCertificateFlags flag;
        const char* text;
    } kProblems[] = {
        {G_TLS_CERTIFICATE_UNKNOWN_CA, "it is signed by an unknown certificate authority"},
        {G_TLS_CERTIFICATE_BAD_IDENTITY, "it does not name this host"},
        {G_TLS_CERTIFICATE_NOT_ACTIVATED, "it is not valid yet"},
        {G_TLS_CERTIFICATE_EXPIRED, "it has expired"},
        {G_TLS_CERTIFICATE_REVOKED, "it has been revoked"},
        {G_TLS_CERTIFICATE_INSECURE, "its algorithm is insecure"},
        {G_TLS_CERTIFICATE_GENERIC_ERROR, "it cannot be used"},
    };
    std::string text;
    for (const auto& problem : kProblems) {
        if (flags & problem.flag)
            text += (text.empty() ? "" : ", ") + std::string(problem.text);
    }
    return text.empty() ? "it is not trusted" : text;
}

} // namespace zephyrscope
