#pragma once

// The certificate authorities of a CA file (--ca-file), loaded once for the
// whole process: the option's check, the process-wide default, every HTTP
// source and every connection probe share one database. Private to player/.
// Any thread.

#include <memory>
#include <string>

typedef struct _GTlsDatabase GTlsDatabase;

namespace zephyrscope {

class CaFileTrust {
public:
    // A CA bundle is well under a megabyte (Debian's whole one is about 200 kB);
    // anything far larger is not one, and GnuTLS would read all of it.
    static constexpr long long kMaxBytes = 8 * 1024 * 1024;

    struct Unref {
        void operator()(GTlsDatabase* database) const;
    };
    using DatabasePtr = std::unique_ptr<GTlsDatabase, Unref>;

    // The database of the CA file at path (relative paths are taken from the
    // current directory when first asked), a new reference; nullptr with the
    // reason in error when the file is not a regular file of at most kMaxBytes,
    // cannot be read or holds no certificate. The file is checked and loaded on
    // the first call for its path only; later calls give the same answer.
    static DatabasePtr database(const std::string& path, std::string& error);
};

} // namespace zephyrscope
