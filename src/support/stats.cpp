#include "support/stats.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "support/file.h"
#include "support/sink.h"
#include "support/str.h"

namespace {
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// One record per line and one field per blank: a name or an address that
// carried a blank or a control byte would break both.
std::string field(std::string_view s) {
    std::string r(s);
    for (char& c : r) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f) c = '_';
    }
    return r;
}

// One write(2) on an O_APPEND descriptor: the kernel places the whole record
// at the end, so concurrent requests never interleave inside it.
bool append_record(const std::string& path, const std::string& rec) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    bool ok = write_all(fd, rec);
    if (::close(fd) != 0) ok = false;
    return ok;
}
}  // namespace

std::string mmmdd(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    int m = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
    return sfmt("%s%02d", kMonths[m], tm.tm_mday);
}

std::string mmmdd() { return mmmdd(std::time(nullptr)); }

std::string stats_login_file(std::time_t when) {
    const std::string dir = sup_setting("stats_path");
    if (dir.empty()) return {};
    return sfmt("%s%cquorl%s.stats", dir.c_str(), '/', mmmdd(when).c_str());
}

int log_stats(std::string_view user, std::string_view addr, long msgs, long diskuse, std::string_view extra) {
    std::time_t now = std::time(nullptr);
    std::string path = stats_login_file(now);
    if (path.empty()) return 1;
    std::string rec = sfmt("%ld %s %s %ld %ld %s\n", static_cast<long>(now), field(user).c_str(),
                           field(addr).c_str(), msgs, diskuse, field(extra).c_str());
    if (!append_record(path, rec)) {
        sup_log(kSupFileError, "log_stats: Open failed for stats file %s", path.c_str());
        return 0;
    }
    return 1;
}

std::string stats_tpl_file(std::string_view tpl_name) {
    const std::string dir = sup_setting("stats_path");
    std::string name(tpl_name);
    if (dir.empty()) return sup_work_path(sfmt("stat_%s_tpl.s", name.c_str()));
    return sfmt("%s/%s_tpl.s", dir.c_str(), name.c_str());
}

int stats_tpl_count(std::string_view tpl_name) {
    if (!sup_true("stats")) return 1;
    // The renderer has vetted the name already; a counter must still never
    // be written outside the statistics directory.
    if (tpl_name.empty() || contains(tpl_name, "..") || tpl_name.front() == '/' ||
        tpl_name.find('\0') != std::string_view::npos) {
        sup_log(kSupInfo, "Can't log stat access to %.200s", std::string(tpl_name).c_str());
        return 0;
    }
    std::string path = stats_tpl_file(tpl_name);
    if (!append_record(path, "+")) {
        sup_log(kSupInfo, "Can't log stat access to %s", path.c_str());
        return 0;
    }
    return 1;
}
