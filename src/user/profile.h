// The user's profile (user.dat) in memory, and its reading and writing.
// One profile per process: `prof` holds every value named after its key;
// profile_reset() gives the state of a fresh process.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int kMaxFolders = 200;
constexpr int kMaxFrom = 30;
constexpr int kPopSlots = 6;

// A filter rule as stored in the profile ("rule" lines).
struct ProfileRule {
    std::string header, match, action, folder, address;
    int casef = 0;
};

struct Profile {
    // Session identity (login).
    std::string xuser;          // login name; names the user's directory
    std::string xpophost;       // POP host chosen at login
    std::string xpass;          // password typed at login
    std::string xpass_crypt;    // pass_encrypt of it after a good POP login
    std::string xttcode;        // login code carried by the received token
    std::string rutoken;        // the session token as received

    // Load state.
    int gotinfo = 0;            // loaded in this process
    int gnewuser = 0;           // loaded from default.dat
    std::string red_file;       // path read ("" for default.dat)
    int has_checksum = 0;

    std::vector<std::string> xfrom;                  // "from", at most 30
    std::array<std::string, kMaxFolders> xfld_name;  // "folder"
    int nxfld = 0;
    std::string xsig;           // at most 4000 bytes
    std::string xuaddress, xusex, xchild_edit, xparent;
    std::vector<std::string> accept_from, reject_from, children;   // "af:", "rf:", "ch:"
    std::string xnm_sound, xni, xpi;
    std::array<std::string, 4> xuvar;                // "uvar1".."uvar4"
    int gutokc = 0;
    std::string xdflt_key, xdflt_reply, xdomain, xreal_name;
    int xpopall = 0, xv_font = 0, xv_myfrom = 0, xuage = 0, xumax_attach = 0, xrefresh = 0;
    int xnnew_sl = 0, xframes = 0, xautoadd = 0, xautoadda = 0;
    std::string xabo, xadd_book;
    int xpage_size = 0, xwml_page_size = 0;
    int xv_headers = 0, xv_inline = 0, xv_asis = 0;
    long xfetch_last = 0;
    int xrejected = 0;
    long xlast_login = 0, xll = 0;
    long xcookie = 0;           // "c:" (remembered-login signature)
    std::string xsort_on;
    long xlog_time = 0;
    int xfld = 0, xdfld = 0, xrdst = 0;
    long xdiskuse = 0, xmsgs = 0;
    int xtpl_set = 0;
    long xdiskquota = -1, xmax_download_kbytes = -1, xmax_download_msgs = -1;
    long xnextid = 0;
    int xcopyself = 0, xsend_autocc = 0, xrmove = 0;
    int xnosortpick = 0, xnosortaddr = 0, xwysiwyg = 0;
    int xaddsig = 0;
    std::uint64_t xtcode = 0, old_xtcode = 0;   // "tcode": the session secret of the current login
    std::string xlpcode;        // "lpcode": code of the login page the current login came from
    int xsends = 0, xsend_day = 0;
    int xbody_limit = 0;
    int xsw = 0;                // "sw" as read (a compose page was open)
    int g_xsw = 0;              // a compose page was shown in this request
    std::string xremote_addr;
    std::string xaddr_books, xgaddr_books;

    // Server slots ("pophost" lines).
    std::array<std::string, kPopSlots> xpop_name, xpop_user, xpop_pass, xpop_reply, xpop_port;
    std::array<int, kPopSlots> xpop_del{};
    std::array<bool, kPopSlots> xpop_set{};   // slot host was ever given (E32 vs E33)
    int xpop_cur = 0;

    std::vector<ProfileRule> rules;
    int g_eight_bit = 0;        // "u_eight_bit" seen
};

extern Profile prof;

// Loads the profile (taking the user lock); 1 when loaded or already loaded.
int user_getinfo(int allow_new, int nocheck);
// Writes the profile back when g.ui_changed is non-zero; 1 on success or
// nothing to do, 0 on failure (the old profile stays).
int user_write();
void cleargotinfo();
void user_clear();                              // empties the From list
int add_folder(std::string_view text);          // "N name"
void add_pophost(std::string_view value);       // "slot host\tuser\tpass\tdel\treply\tport"

// Parses one profile line into prof (the reader's rule for one line).
// default_file: "%%user%%" substitution of default.dat applies.
void profile_line(std::string_view line, bool default_file);
// The text of the profile as the writer lays it out (lines counted into
// *count when given).  Empty when the profile must not be written.
std::string profile_text(int* count = nullptr);


// Forgets the loaded profile (the values and the load flags).
void profile_reset();
// uvar1-uvar4 and uaddress of a posted form go straight into the profile.
int post_profile_fields();
