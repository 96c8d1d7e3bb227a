// A spell check of the message being composed.  The compose form's fields
// and body are kept in the user's directory between requests: spell.msg
// (the body, byte for byte, and a line feed) and spell.dat (one "keyword
// value" line per field, then one "word N OFFSET WORD" line per unknown
// word).  Values are kept on one line with the profile's line escaping,
// and every word line is checked against the body before it is used.
#include "send/send.h"
#include "send/spell.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "send/addr.h"
#include "send/mailenc.h"
#include "support/file.h"
#include "support/str.h"
#include "user/codec.h"
#include "user/paths.h"
#include "user/profile.h"
#include "view/mimecodec.h"

namespace {

constexpr std::size_t kShowMax = 70001;   // result page text beyond this is refused
constexpr std::size_t kEditMax = 7000;

bool read_whole(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    out = ss.str();
    return true;
}

bool save_state(const SpellState& s, bool body_too) {
    if (body_too && !file_replace(user_fname("spell.msg"), s.msg + "\n")) {
        f_error(lang_get("Could not write (%s) \n"), "spell.msg");
        return false;
    }
    if (!file_replace(user_fname("spell.dat"), spell_dat_text(s))) {
        f_error(lang_get("Could not write (%s) \n"), "spell.dat");
        return false;
    }
    return true;
}

// The word number of the form; -1 when it is not a number.
int wordi_field() {
    const std::string& v = form_find("wordi");
    char* end = nullptr;
    long w = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || w < -1 || w > 1000000) return -1;
    return static_cast<int>(w);
}

// The suggestions page takes a number above 999 as the first word.
int wordi_value() {
    int w = wordi_field();
    if (w > 999) {
        lmsg("w value to large");
        w = 0;
    }
    return w;
}

// The result page: the body with every unknown word a link to its
// suggestions.
int r_spell_show() {
    if (!read_spell()) return 0;
    const SpellState& s = spell_state();
    const std::string token = html_escape(var_find("utoken"));   // already URL-encoded
    const int fld = std::atoi(form_find("fld").c_str());
    std::string out;
    std::size_t at = 0;
    for (std::size_t i = 0; i < s.words.size(); ++i) {
        const SpellWord& w = s.words[i];
        out += html_escape(std::string_view(s.msg).substr(at, w.offset - at));
        out += sfmt("<a href=\"%s?cmd=spell_fix&amp;utoken=%s&amp;wordi=%d&amp;fld=%d\">", html_escape(g.path_script).c_str(),
                    token.c_str(), static_cast<int>(i), fld);
        out += html_escape(w.word) + "</a>";
        at = w.offset + w.word.size();
        if (out.size() >= kShowMax) {
            f_error("%s", lang_get("Too many spelling errors spell check"));
            return 0;
        }
    }
    out += html_escape(std::string_view(s.msg).substr(at));
    if (out.size() >= kShowMax) {
        f_error("%s", lang_get("Too many spelling errors spell check"));
        return 0;
    }
    std::string plain;
    for (char c : out)
        if (c != '\r') plain += c;
    std::string shown = wrap(plain, get_send_wrap());
    if (g.gwml) {   // in a deck "$" starts a variable
        std::string w;
        for (char c : shown) w += c == '$' ? std::string("$$") : std::string(1, c);
        shown = w;
    }
    var_set("spell_list", shown);
    var_set("nwrong", std::to_string(s.words.size()));
    f_error_set();
    tpl_show("sp_show");
    return 1;
}

std::string personal_path() { return user_fname("words.usr"); }

}  // namespace

SpellState& spell_state() {
    static SpellState s;
    return s;
}

void spell_reset() {
    spell_state() = SpellState{};
    spell_dict_reset();
}

std::string spell_dat_text(const SpellState& s) {
    std::string out;
    const std::pair<const char*, const std::string*> fields[] = {{"to", &s.to},         {"cc", &s.cc},
                                                                 {"bcc", &s.bcc},       {"reply", &s.reply},
                                                                 {"subject", &s.subject}, {"pgpto", &s.pgpto}};
    for (const auto& [k, v] : fields) out += std::string(k) + " " + cr_encode(*v) + "\n";
    for (int i = 0; i < 4; ++i) out += sfmt("attach %d ", i) + cr_encode(s.attach[i]) + "\n";
    for (std::size_t i = 0; i < s.words.size(); ++i)
        out += sfmt("word %d %zu ", static_cast<int>(i), s.words[i].offset) + cr_encode(s.words[i].word) + "\n";
    return out;
}

bool spell_dat_parse(std::string_view dat, std::string_view msg, SpellState& s, std::string& err) {
    s = SpellState{};
    s.msg.assign(msg);
    std::size_t pos = 0;
    bool any = false;
    while (pos < dat.size()) {
        std::size_t e = dat.find('\n', pos);
        if (e == std::string_view::npos) e = dat.size();
        std::string_view line = dat.substr(pos, e - pos);
        pos = e + 1;
        std::size_t sp = line.find(' ');
        std::string_view key = line.substr(0, sp);
        std::string value = sp == std::string_view::npos ? std::string() : cr_decode(line.substr(sp + 1));
        any = true;
        if (key == "to") s.to = value;
        else if (key == "cc") s.cc = value;
        else if (key == "bcc") s.bcc = value;
        else if (key == "reply") s.reply = value;
        else if (key == "subject") s.subject = value;
        else if (key == "pgpto") s.pgpto = value;
        else if (key == "attach") {
            int slot = std::atoi(value.c_str());
            std::size_t n = value.find(' ');
            if (slot >= 0 && slot < 4) s.attach[slot] = n == std::string::npos ? "" : value.substr(n + 1);
        } else if (key == "word") {
            // "N OFFSET WORD": kept only when the body holds that word there.
            char* end = nullptr;
            long num = std::strtol(value.c_str(), &end, 10);
            char* end2 = nullptr;
            unsigned long long off = std::strtoull(end, &end2, 10);
            std::string word = *end2 == ' ' ? std::string(end2 + 1) : std::string();
            if (num >= 999) {
                f_error(lang_get("Message too long to spell check: (%d words)"), 999);
                break;
            }
            if (end2 == end || num != static_cast<long>(s.words.size()) || word.empty() || off > msg.size() ||
                msg.size() - off < word.size() || msg.compare(off, word.size(), word) != 0) {
                lmsg("spell.dat: word line %ld does not match the message, dropped", num);
                continue;
            }
            s.words.push_back({static_cast<std::size_t>(off), word});
        }
    }
    if (!any) err = "spell.dat";
    return any;
}

int read_spell() {
    std::string dat, msg;
    if (!read_whole(user_fname("spell.dat"), dat)) {
        f_error(lang_get("Could not read (%s) \n"), "spell.dat");
        return 0;
    }
    if (!read_whole(user_fname("spell.msg"), msg)) {
        f_error(lang_get("Could not read (%s) \n"), "spell.msg");
        return 0;
    }
    if (!msg.empty() && msg.back() == '\n') msg.pop_back();
    std::string err;
    if (!spell_dat_parse(dat, msg, spell_state(), err)) {
        f_error(lang_get("Could not read (%s) \n"), err.c_str());
        return 0;
    }
    return 1;
}

int str_replace(std::string& text, std::size_t offset, std::string_view old, std::string_view neu, std::string& err) {
    if (neu.size() >= old.size() + 901) {
        err = "str_replace failed as new word too long\n";
        return 0;
    }
    if (offset > text.size() || text.compare(offset, old.size(), old) != 0) {
        err = "str_replace failed as old word missing\n";
        return 0;
    }
    text.replace(offset, old.size(), neu);
    return 1;
}

int spell_change(int wordi, const std::string* value) {
    SpellState& s = spell_state();
    if (wordi < 0 || wordi > 999 || wordi >= static_cast<int>(s.words.size())) {
        lmsg("spell_change: w=%d value invalid", wordi);
        return 0;
    }
    if (!value) {
        lmsg("spell_change: val=NULL");
        return 0;
    }
    // A replacement is one line of text.
    std::string neu = value->substr(0, value->find_first_of("\r\n"));
    SpellWord& w = s.words[static_cast<std::size_t>(wordi)];
    if (!w.word.empty() && w.word[0] >= 'A' && w.word[0] <= 'Z' && !neu.empty() && neu[0] >= 'a' && neu[0] <= 'z')
        neu[0] = static_cast<char>(neu[0] - 'a' + 'A');
    std::string err;
    if (!str_replace(s.msg, w.offset, w.word, neu, err)) {
        lmsg("%s", err.c_str());
        return 0;
    }
    const long diff = static_cast<long>(neu.size()) - static_cast<long>(w.word.size());
    for (std::size_t i = static_cast<std::size_t>(wordi) + 1; i < s.words.size(); ++i)
        s.words[i].offset = static_cast<std::size_t>(static_cast<long>(s.words[i].offset) + diff);
    w.word = neu;
    if (neu.empty()) s.words.erase(s.words.begin() + wordi);   // nothing left to link to
    return save_state(s, true) ? 1 : 0;
}

std::string wrap(std::string_view text, int width) {
    if (width <= 0 || text.size() <= static_cast<std::size_t>(width)) return std::string(text);
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    int count = 0;                                  // characters shown on the current line
    std::size_t line_start = 0;                     // in out
    std::size_t last_blank = std::string::npos;     // in out, on the current line
    int count_at_blank = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == 27) {   // from an escape on, the text is left as it is
            out.append(text.substr(i));
            break;
        }
        if (c == '\n') {
            out += c;
            ++i;
            count = 0;
            line_start = out.size();
            last_blank = std::string::npos;
            continue;
        }
        // One shown unit: a tag (no width), an entity or a whole UTF-8
        // character (one each); never broken.
        std::size_t len = 1;
        int shown = 1;
        const std::size_t close = c == '<' ? text.find('>', i) : c == '&' ? text.find(';', i) : std::string_view::npos;
        if (c == '<' && close != std::string_view::npos) {
            len = close - i + 1;
            shown = 0;
        } else if (c == '&' && close != std::string_view::npos && close - i <= 10) {
            len = close - i + 1;
        } else {
            while (i + len < text.size() && (static_cast<unsigned char>(text[i + len]) & 0xC0) == 0x80) ++len;
        }
        out.append(text.substr(i, len));
        i += len;
        count += shown;
        if (c == ' ') {
            last_blank = out.size() - 1;
            count_at_blank = count;
        }
        if (count <= width) continue;
        if (last_blank != std::string::npos && last_blank >= line_start) {
            out[last_blank] = '\n';
            line_start = last_blank + 1;
            count -= count_at_blank;
        } else if (i < text.size() && text[i] != '\n') {
            out += '\n';
            line_start = out.size();
            count = 0;
        }
        last_blank = std::string::npos;
    }
    return out;
}

std::string spell_edit_text(const std::vector<std::string>& words, std::size_t& shown) {
    std::string out;
    shown = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string piece = words[i] + ((i % 4 == 3 || i + 1 == words.size()) ? "\n" : " ");
        if (out.size() + piece.size() > kEditMax) break;
        out += piece;
        ++shown;
    }
    if (!out.empty() && out.back() == ' ') out.back() = '\n';
    return out;
}

// ---- commands

int r_spell_check() {
    if (!spell_load()) return 0;
    SpellState& s = spell_state();
    s = SpellState{};
    s.to = form_find("to");
    s.cc = form_find("cc");
    s.bcc = form_find("bcc");
    s.reply = form_find("reply");
    s.subject = form_find("subject");
    s.pgpto = form_find("pgpto");
    s.msg = form_find("message");
    for (int k = 0; k < 4; ++k) {
        if (attach_name(k).empty()) continue;
        // The file cannot wait for the next request: it is dropped, and the
        // user told to choose it again.
        s.attach[k] = attach_name(k);
        lmsg("Removing %s %d\n", attach_fname(k).c_str(), k);
        std::remove(attach_fname(k).c_str());
        f_error("%s", lang_get("You must re-enter attachment fields after doing spell check"));
    }
    std::size_t pos = 0, start = 0;
    std::string word;
    while (spell_next_word(s.msg, pos, start, word)) {
        if (spell_find(word)) continue;
        if (s.words.size() >= static_cast<std::size_t>(kSpellMaxWords)) {
            f_error("%s", lang_get("Message to long to spell check"));
            return 0;
        }
        s.words.push_back({start, word});
    }
    if (!save_state(s, true)) return 0;
    prof.xsend_autocc = form_true("send_autocc") ? 1 : 0;
    prof.xcopyself = form_true("copyself") ? 1 : 0;
    prof.xaddsig = form_true("addsig") ? 1 : 0;
    ++g.ui_changed;
    return r_spell_show();
}

int f_spell_fix() {
    if (!read_spell()) return 0;
    const int wi = wordi_value();
    const SpellState& s = spell_state();
    if (wi < 0 || wi >= static_cast<int>(s.words.size())) {
        lmsg("spell_change: w=%d value invalid", wi);
        return r_spell_show();
    }
    if (!spell_load()) return 0;
    const std::string& word = s.words[static_cast<std::size_t>(wi)].word;
    std::vector<std::string> alt;
    spell_similar(word, alt);
    const bool plain = !wm_ini_get(K_separator).empty();
    std::string list;
    for (std::size_t i = 0; i < alt.size(); ++i) {
        std::string e = html_escape(alt[i]);
        std::string piece = i == 0 ? (plain ? e : "<option>" + e) : "</option>\n<option value=\"" + e + "\">" + e;
        if (list.size() + piece.size() > 512) break;
        list += piece;
    }
    var_set("list_alt", list);
    var_set("wordi", std::to_string(wi));
    var_set("word", html_escape(word));
    tpl_show("sp_fix");
    return 1;
}

int r_spell_set() {
    if (!read_spell()) return 0;
    spell_change(wordi_field(), nform_find("spell_value"));
    return r_spell_show();
}

int r_spell_alt() {
    if (!read_spell()) return 0;
    spell_change(wordi_field(), nform_find("altword"));
    return r_spell_show();
}

int r_spell_add() {
    const std::string value = form_find("spell_value").substr(0, 100);
    std::vector<std::string> added = spell_split_words(value);
    if (!added.empty()) {
        FILE* f = std::fopen(personal_path().c_str(), "ab");
        if (!f) {
            f_error(lang_get("Could not append to (%s) (%s) \n"), "words.usr", std::strerror(errno));
            return 0;
        }
        for (const std::string& w : added) std::fprintf(f, "%s\n", w.c_str());
        std::fclose(f);
    }
    if (!read_spell()) return 0;
    // The added words are known now: they stop being links at once.
    SpellState& s = spell_state();
    std::size_t before = s.words.size();
    for (const std::string& a : added) {
        const std::string low = spell_lower(a);
        std::erase_if(s.words, [&](const SpellWord& w) { return spell_lower(w.word) == low; });
    }
    if (s.words.size() != before && !save_state(s, false)) return 0;
    return r_spell_show();
}

int r_spell_edit() {
    std::string text;
    read_whole(personal_path(), text);
    std::size_t shown = 0;
    var_set("spelledit", html_escape(spell_edit_text(spell_split_words(text), shown)));
    var_set("spellshown", std::to_string(shown));
    tpl_show("sp_edit");
    return 1;
}

int r_spell_save() {
    std::string text;
    const bool had = read_whole(personal_path(), text);
    std::vector<std::string> old = spell_split_words(text);
    // The editor showed at most its first words; those it did not show (and
    // any added since) are kept, never lost by a save.
    std::size_t shown = 0;
    if (const std::string* n = nform_find("spellshown")) shown = std::strtoul(n->c_str(), nullptr, 10);
    else spell_edit_text(old, shown);
    if (shown > old.size()) shown = old.size();
    std::string out;
    for (const std::string& w : spell_split_words(form_find("spelledit"))) out += w + "\n";
    for (std::size_t i = shown; i < old.size(); ++i) out += old[i] + "\n";
    if ((had || !out.empty()) && !file_replace(personal_path(), out)) {
        f_error(lang_get("Cannot write (%s) (%s) \n"), "words.usr", std::strerror(errno));
        return 0;
    }
    return r_spell_show();
}

int r_spell_done() {
    if (!read_spell()) return 0;
    const SpellState& s = spell_state();
    var_set("h_subject", html_escape(s.subject));
    var_set("h_from", html_escape(rfc1522s(s.to)));
    var_set("a_from", html_escape(addr_only(s.to)));
    var_set("h_cc", html_escape(s.cc));
    var_set("h_bcc", html_escape(s.bcc));
    var_set("reply", html_escape(s.reply));
    for (int k = 0; k < 4; ++k)
        if (!s.attach[k].empty()) var_set(k == 0 ? std::string("prev_attach") : sfmt("prev_attach%d", k + 1), html_escape(s.attach[k]));
    // The corrected body goes back into the text box as text, escaped like
    // everything else typed there.
    var_set("h_message", html_escape(s.msg));
    // The recipient key chosen before the check stays chosen.
    form_put("pgpto", s.pgpto);
    // The compose page proper: accounts, options; it removes the saved state.
    return f_send();
}

int do_spell() {
    std::string err;
    if (!spell_init("words.dat", nullptr, err)) {
        std::fprintf(stderr, "%s", err.c_str());
        return 0;
    }
    // Standard input through stdio: <iostream> would set up its streams at
    // the start of every request, for this one command-line use.
    std::string line;
    auto read_line = [&line] {
        line.clear();
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') line += static_cast<char>(c);
        return c != EOF || !line.empty();
    };
    for (;;) {
        std::fputs("Enter word ", stdout);
        std::fflush(stdout);
        if (!read_line()) break;
        if (line.size() > 999) line.resize(999);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::fputs(spell_find(line) ? "Right\n" : "Wrong\n", stdout);
    }
    std::fputs("\n", stdout);
    return 1;
}
