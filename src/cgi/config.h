// Site settings: the fixed key table read from "<rootname>.ini", with
// virtual-host sections and the list-building keys (work, match,
// auto_login, tpl_set).  Settings are read by key index with wm_ini_get and
// ini_true; template and work-area paths come from file_tpl and file_work.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "cgi/ini_keys.inc"

enum IniKey : int {
#define LK_INI_ENUM(id, name, dflt) id,
    LK_INI_KEYS(LK_INI_ENUM)
#undef LK_INI_ENUM
    K_COUNT
};

const char* ini_name(int key);            // key name, or nullptr outside the table
const char* ini_default(int key);         // the table's default ("" for none)
int ini_find(std::string_view name);      // exact match, or -1
const std::string& wm_ini_get(int key);   // value, "" when unset (never throws)
bool ini_isset(int key);
bool ini_true(int key);                   // "true" in any case, or exactly "1"
void ini_set(int key, std::string value);
void ini_unset(int key);

// Sets g.path_script and g.rootname from a script path (SCRIPT_NAME).
void ini_setscript(std::string_view script_path);
// The base name of a path as ini_read and ini_setscript cut it, and the
// directory part ("." when none).
void ini_split_path(std::string_view path, std::string& dir, std::string& base);

// Reads the configuration for the program (or -ini) path.  vhost is the
// current virtual-host name; a vhost_match line may replace it.  Returns 1 on
// success, 0 when no file was found (E21/E23 have been raised).
// A virtual-host name is a host name (letters, digits, ".", "-", "_", and
// ":" "[" "]" for an address), at most 255 characters: it goes into cookie
// attributes and the response header.
bool vhost_name_ok(std::string_view name);
int ini_read(const std::string& path, std::string& vhost);

const std::string& ini_config_file();     // the last path tried
const std::string& ini_xroot();

struct WorkRange { std::string low, high, dir; };
struct MatchItem {
    std::string header;   // header name as written
    std::string pattern;  // without the quotes and the leading "!"
    bool negate = false;
    std::string var;
    std::string value;
};
struct AutoLoginTarget { std::string url, path, extra; };

const std::vector<WorkRange>& ini_work();         // file order
const std::vector<MatchItem>& ini_match();        // newest first
const AutoLoginTarget& ini_auto_login(int slot);  // slots 1-10; others give an empty target
const std::string& ini_tpl_set(int n);            // set directories 1-29

// The user's template-set number (Part of the user settings); 0 = main set.
void ini_set_tpl_number(int n);
int ini_tpl_number();

std::string get_tpl_dir();
std::string get_main_tpl_dir();
std::string file_tpl(std::string_view name);
std::string file_work(std::string_view name);
std::string file_work2(std::string_view dir, std::string_view name);
std::string fix_slash(std::string_view path);
std::string trim_spaces(std::string_view text);   // at most 511 characters

// Restores the state of a fresh process.
void ini_reset();
