#include "TlsTrust.h"

#include "CaFileTrust.h"
#include "GstHandles.h"

#include <gio/gio.h>
#include <gst/gst.h>

namespace zephyrscope {

using namespace gsthandles;

std::string TlsTrust::caFileError(const std::string& path)
{
    std::string error;
    CaFileTrust::database(path, error);
    return error;
}

void TlsTrust::applyTo(GstElement* source, const std::string& caFile)
{
    // souphttpsrc over libsoup 3 ignores ssl-ca-file; a TLS database it takes (no upstream fix as of 1.28.6).
    if (caFile.empty() || !g_object_class_find_property(G_OBJECT_GET_CLASS(source), "tls-database"))
        return;
    std::string error;
    if (const CaFileTrust::DatabasePtr database = CaFileTrust::database(caFile, error))
        g_object_set(source, "tls-database", database.get(), nullptr);
    else
        g_printerr("Cannot use CA file '%s': %s\n", caFile.c_str(), error.c_str());
}

bool TlsTrust::makeProcessDefault(const std::string& caFile)
{
    std::string error;
    const CaFileTrust::DatabasePtr database = CaFileTrust::database(caFile, error);
    if (!database) {
        g_printerr("Cannot use CA file '%s': %s\n", caFile.c_str(), error.c_str());
        return false;
    }
    g_tls_backend_set_default_database(g_tls_backend_get_default(), database.get());
    return true;
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
