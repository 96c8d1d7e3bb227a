// The user walk and what the manager does to the accounts it finds: bulk
// profile edits (under each user's lock, the checksum kept right) and
// account deletion (moved out of the user tree under the lock, then
// removed, so a login never meets half a directory).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "admin/manager.h"
#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/lock.h"
#include "user/paths.h"

namespace {

constexpr std::size_t kLineMax = 511;
constexpr const char* kGonePrefix = ".gone_";

bool is_real_dir(const std::string& path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

bool is_user_dir(const std::string& path) {
    struct stat sb;
    return is_real_dir(path) && lstat((path + "/user.dat").c_str(), &sb) == 0 && S_ISREG(sb.st_mode);
}

// Lists the entries of dir matching pattern, dropping names that begin
// with "." (wild_find2 already drops "." and "..").
std::vector<std::string> list_level(const std::string& dir, const std::string& pattern, int max) {
    std::vector<std::string> names, out;
    wild_find2(dir, pattern, names, max);
    for (std::string& n : names)
        if (!n.empty() && n[0] != '.' && n.find('/') == std::string::npos) out.push_back(std::move(n));
    return out;
}

// Under hash method 1 the directory name is a flattened form of the login
// name; the exact name is in the owner file when there is one.
std::string owner_of(const std::string& dir, const std::string& fallback) {
    std::string name;
    if (FILE* f = std::fopen((dir + "/" + kOwnerFile).c_str(), "r")) {
        char buf[kLineMax + 1];
        if (std::fgets(buf, sizeof buf, f)) name = buf;
        std::fclose(f);
    }
    name = name.substr(0, name.find_first_of("\r\n"));
    return name.empty() ? fallback : name;
}

std::string join2(const std::string& a, const std::string& b) { return a.empty() || a.back() == '/' ? a + b : a + "/" + b; }

std::string work_root() {
    std::string w = file_work("");
    while (w.size() > 1 && w.back() == '/') w.pop_back();
    return w;
}

// Only the characters a profile line can hold.
std::string one_line(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != '\n' && c != '\r' && c != '\0') out += c;
    return ncpy(out, kLineMax);
}

int lock_wait_secs() {
    std::string w = wm_ini_get(K_lock_wait);
    return std::atoi((w.empty() ? std::string(ini_default(K_lock_wait)) : w).c_str());
}

// Writes text to a fresh file beside path and renames it over path.
bool replace_file(const std::string& path, const std::string& text) {
    std::string tmp = sfmt("%s_%d.upd", path.c_str(), static_cast<int>(getpid()));
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        f_error(lang_get("User_update: Cannot wopen (%s) (%s)"), tmp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!ok) imsg("Unable to write user data file %s\n", tmp.c_str());
    ok = std::fflush(f) == 0 && ok;
    if (std::fclose(f) != 0 && ok) {
        imsg("Unable to close user data file %s\n", tmp.c_str());
        ok = false;
    }
    // rename() replaces the old file in one step: a crash leaves either
    // profile, never none.
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) {
        imsg("Unable to rename %s as %s %s\n", tmp.c_str(), path.c_str(), std::strerror(errno));
        ok = false;
    }
    if (!ok) std::remove(tmp.c_str());
    return ok;
}

}  // namespace

bool admin_lock_user(const std::string& dir, const char* cmd, int wait) {
    if (ini_true(K_no_locks)) return true;
    static bool inited = false;
    if (!inited || !lock_data().init) {
        mylock_init(wm_ini_get(K_lock_id).c_str(), ini_true(K_nfs) ? 1 : 0, 0, imsg,
                    log_has("dotlock") ? imsg : nullptr);
        inited = true;
    }
    std::string old = wm_ini_get(K_lock_old);
    int expires = std::atoi((old.empty() ? std::string(ini_default(K_lock_old)) : old).c_str());
    return mylock_get((dir + "/user").c_str(), cmd, wait, expires) > 0;
}

void admin_unlock_user(const std::string& dir) {
    if (ini_true(K_no_locks)) return;
    mylock_free((dir + "/user").c_str());
    mylock_idle();
}

std::string walk_pattern(const std::string& wild) {
    std::string w = ncpy(wild, kLineMax);
    return hash_method() == 2 ? rencodew(w) : w;
}

int user_walk(const std::string& pattern,
              const std::function<void(const std::string& dir, const std::string& user)>& fn) {
    const bool h2 = hash_method() == 2;
    const std::string root = work_root();
    std::vector<std::string> tops = h2 ? list_level(root, "n_*", 3000) : std::vector<std::string>{""};
    int visited = 0;
    for (const std::string& top : tops) {
        const std::string d1 = top.empty() ? root : join2(root, top);
        if (!is_real_dir(d1)) continue;
        for (const std::string& mid : list_level(d1, h2 ? "*" : "u_*", 3000)) {
            const std::string d2 = join2(d1, mid);
            if (!is_real_dir(d2)) continue;
            for (const std::string& name : list_level(d2, pattern, 20000)) {
                const std::string dir = join2(d2, name);
                if (!is_user_dir(dir)) continue;
                ++visited;
                fn(dir, h2 ? rdecode(name) : owner_of(dir, name));
            }
        }
    }
    return visited;
}

std::string profile_edit_text(const std::string& text, const std::string& key, const std::string& value,
                              int add, int blank_only, long* modified, long* added) {
    std::vector<std::string> lines;
    bool summed = false, stop = false;
    const bool only_blank = blank_only != 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        const std::string first = line.substr(0, line.find(' '));
        // The checksum lines are the file's own bookkeeping: recounted
        // below, never a bulk edit's target.
        if (first == "checksum") {
            summed = true;
            continue;
        }
        if (stop || first == "has_checksum" || !starts_with(line, key)) {
            lines.push_back(std::move(line));
            continue;
        }
        // Blank-only: a line that already holds a value stops the edit.
        if (only_blank && !whitespace(std::string_view(line).substr(key.size()))) {
            lines.push_back(std::move(line));
            add = blank_only = 0;
            stop = true;
            continue;
        }
        if (modified) ++*modified;
        if (!value.empty()) lines.push_back(key + " " + value);
        add = blank_only = 0;
    }
    if (add || blank_only) {
        lines.push_back(key + " " + value);
        if (added) ++*added;
    }
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    if (summed) out += sfmt("checksum %d\n", static_cast<int>(lines.size()) + 1);
    return out;
}

int user_update_dir(const std::string& dir, const std::string& key, const std::string& value, int add,
                    int blank_only) {
    if (key.empty()) return 1;
    const std::string path = dir + "/user.dat";
    // The user's own requests write the profile under this lock: holding
    // it, the edit neither loses theirs nor is lost to theirs.
    if (!admin_lock_user(dir, "manager", lock_wait_secs())) {
        imsg("User_update: %s is busy, not updated", path.c_str());
        return 0;
    }
    int ok = 0;
    std::string text;
    FILE* f = nullptr;
    for (int i = 0; i < 5 && !f; ++i) {
        f = std::fopen(path.c_str(), "r");
        if (!f && errno == ENOENT) break;
        if (!f) usleep(100000);
    }
    if (!f) {
        if (errno != ENOENT) f_error("Cannot ropen (%s) (%s)", path.c_str(), std::strerror(errno));
    } else {
        char buf[8192];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        bool bad = std::ferror(f) != 0;
        std::fclose(f);
        if (bad) {
            imsg("Unable to read user data file %s\n", path.c_str());
        } else {
            ManagerState& m = manager_state();
            ok = replace_file(path, profile_edit_text(text, key, value, add, blank_only, &m.nmodified, &m.nadded))
                     ? 1
                     : 0;
        }
    }
    admin_unlock_user(dir);
    return ok;
}

int user_update(const std::string& user, const std::string& key, const std::string& value, int add,
                int blank_only) {
    return user_update_dir(user_dir_of(user), key, value, add, blank_only);
}

int user_delete(const std::string& dir, bool held_lock) {
    static int serial = 0;
    if (!is_real_dir(dir)) return 0;
    if (!held_lock && !admin_lock_user(dir, "delete", lock_wait_secs())) {
        imsg("Can't delete directory %s: the user is busy\n", dir.c_str());
        return 0;
    }
    // Out of the user tree in one step: from here on a login finds no
    // directory (and makes a new one) rather than half of this one.
    const std::string gone =
        join2(work_root(), sfmt("%s%d_%d_%ld", kGonePrefix, static_cast<int>(getpid()), ++serial, static_cast<long>(time(nullptr))));
    bool moved = std::rename(dir.c_str(), gone.c_str()) == 0;
    if (!moved) imsg("Can't delete directory %s: %s\n", dir.c_str(), std::strerror(errno));
    // The lock file went with the directory: forget it.
    if (!ini_true(K_no_locks)) {
        mylock_free((dir + "/user").c_str());
        mylock_idle();
    }
    if (!moved) return 0;
    imsg("Remove: %s\n", dir.c_str());
    std::error_code ec;
    std::filesystem::remove_all(gone, ec);
    if (ec) {
        imsg("Can't delete %s: %s\n", gone.c_str(), ec.message().c_str());
        return 0;
    }
    return 1;
}

void user_delete_leftovers() {
    std::vector<std::string> names;
    wild_find2(work_root(), std::string(kGonePrefix) + "*", names, 3000);
    for (const std::string& n : names) {
        std::error_code ec;
        std::filesystem::remove_all(join2(work_root(), n), ec);
    }
}

int del_accounts() {
    const std::string dwild = one_line(form_find("dwild"));
    if (dwild.empty() || dwild[0] == '.') return 0;
    int deleted = 0, seen = 0;
    if (dwild[0] == '@') {
        const std::string name = dwild.substr(1);
        const std::string in_tpl = file_tpl(name);
        FILE* f = name.empty() ? nullptr : std::fopen(name.c_str(), "r");
        if (!f) f = std::fopen(in_tpl.c_str(), "r");
        if (!f) {
            f_error(lang_get("E3: Couldn't open %s or %s: %s\n"), name.c_str(), in_tpl.c_str(), std::strerror(errno));
            return 0;
        }
        char buf[kLineMax + 1];
        while (std::fgets(buf, sizeof buf, f)) {
            ++seen;
            std::string line = buf;
            std::size_t b = line.find_first_not_of(" \t\r\n");
            if (b == std::string::npos) continue;   // an empty name is no user
            std::string user = line.substr(b, line.find_first_of(" \t\r\n", b) - b);
            if (user[0] == '.' || user[0] == '/' || user[0] == '\\') continue;
            const std::string dir = user_dir_of(user);
            if (!is_user_dir(dir)) continue;
            imsg("Deleteing user: %s\n", dir.c_str());
            deleted += user_delete(dir);
        }
        std::fclose(f);
        manager_info(sfmt(lang_get("I2: %d of %d users from %s user directories deleted successfuly"), deleted, seen,
                          html_escape(name).c_str()));
        return 1;
    }
    std::vector<std::string> dirs;
    seen = user_walk(walk_pattern(dwild), [&](const std::string& dir, const std::string&) { dirs.push_back(dir); });
    for (const std::string& dir : dirs) {
        imsg("Deleteing user: %s\n", dir.c_str());
        deleted += user_delete(dir);
    }
    manager_info(sfmt(lang_get("I3: %d of %d matching user directories deleted successfuly"), deleted, seen));
    return 1;
}
