#include "CaFileTrust.h"

#include "GstHandles.h"

#include <gio/gio.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace zephyrscope {

using namespace gsthandles;

namespace {

struct Loaded {
    std::shared_ptr<GTlsDatabase> database; // null when the file cannot be used
    std::string error;
};

// Why the file at an absolute path cannot be a CA file, before GnuTLS reads it:
// a device or a pipe would be read without end, a huge file at great cost.
std::string fileProblem(const std::string& absolute)
{
    struct stat info {};
    if (::stat(absolute.c_str(), &info) != 0)
        return std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return "not a regular file";
    if (info.st_size > CaFileTrust::kMaxBytes)
        return "larger than " + std::to_string(CaFileTrust::kMaxBytes / (1024 * 1024)) + " MiB: not a CA bundle";
    return {};
}

Loaded load(const std::string& absolute)
{
    if (std::string problem = fileProblem(absolute); !problem.empty())
        return {nullptr, std::move(problem)};
    GError* raw = nullptr;
    GTlsDatabase* database = g_tls_file_database_new(absolute.c_str(), &raw);
    const ErrorPtr error(raw);
    if (!database)
        return {nullptr, error && error->message ? error->message : "it holds no certificate"};
    return {std::shared_ptr<GTlsDatabase>(database, g_object_unref), {}};
}

} // namespace

void CaFileTrust::Unref::operator()(GTlsDatabase* database) const
{
    g_object_unref(database);
}

CaFileTrust::DatabasePtr CaFileTrust::database(const std::string& path, std::string& error)
{
    // GTlsFileDatabase wants an absolute anchor path; a relative one is made
    // absolute here, against the directory the program was started in.
    const std::unique_ptr<gchar, GFree> absolute(g_canonicalize_filename(path.c_str(), nullptr));
    static std::mutex mutex;
    static std::map<std::string, Loaded> loaded; // a run has one CA file; a test process may use several
    std::lock_guard lock(mutex);
    auto it = loaded.find(absolute.get());
    if (it == loaded.end()) {
        Loaded attempt = load(absolute.get());
        // A file that could not be used is tried again when asked again.
        if (!attempt.database) {
            error = attempt.error;
            return nullptr;
        }
        it = loaded.emplace(absolute.get(), std::move(attempt)).first;
    }
    error.clear();
    return DatabasePtr(static_cast<GTlsDatabase*>(g_object_ref(it->second.database.get())));
}

} // namespace zephyrscope
