#include "TlsTrust.h"

#include "GstHandles.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zephyrscope {

using namespace gsthandles;

std::string TlsTrust::caFileError(const std::string& path)
{
    // GnuTLS says only "Error while reading file" for a file it cannot open.
    if (std::FILE* file = std::fopen(path.c_str(), "rb"))
        std::fclose(file);
    else
        return std::strerror(errno);
    GError* raw = nullptr;
    std::unique_ptr<GTlsDatabase, GObjectUnref> database(g_tls_file_database_new(path.c_str(), &raw));
    ErrorPtr error(raw);
    if (!database)
        return error && error->message ? error->message : "it holds no certificate";
    return {};
}

void TlsTrust::applyTo(GstElement* source, const std::string& caFile)
{
    // souphttpsrc over libsoup 3 ignores ssl-ca-file; a TLS database it takes.
    if (caFile.empty() || !g_object_class_find_property(G_OBJECT_GET_CLASS(source), "tls-database"))
        return;
    GError* raw = nullptr;
    std::unique_ptr<GTlsDatabase, GObjectUnref> database(g_tls_file_database_new(caFile.c_str(), &raw));
    ErrorPtr error(raw);
    if (database)
        g_object_set(source, "tls-database", database.get(), nullptr);
    else
        g_printerr("Cannot use CA file '%s': %s\n", caFile.c_str(), error ? error->message : "unknown error");
}

bool TlsTrust::makeProcessDefault(const std::string& caFile)
{
    GError* raw = nullptr;
    std::unique_ptr<GTlsDatabase, GObjectUnref> database(g_tls_file_database_new(caFile.c_str(), &raw));
    ErrorPtr error(raw);
    if (!database) {
        g_printerr("Cannot use CA file '%s': %s\n", caFile.c_str(), error ? error->message : "unknown error");
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
