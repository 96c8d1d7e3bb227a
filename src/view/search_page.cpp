#include "view/search_page.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "store/folders.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "support/str.h"
#include "user/login.h"
#include "user/profile.h"
#include "view/date.h"
#include "view/list.h"
#include "view/mimecodec.h"
#include "view/part.h"
#include "view/search.h"
#include "view/search_cache.h"

namespace {

struct Hit {
    int fld = 0;
    Record rec;
    bool in_text = false;  // found only with the message's text
    std::string snippet;   // page text, already escaped; made for the rows shown
};

struct SearchState {
    bool showing = false;        // the result page is being rendered
    std::vector<Hit> hits;
    std::size_t first = 0;       // first hit on this page
    std::size_t count = 0;       // hits on this page
    bool one_folder = true;      // the row controls act on the search's folder
};

SearchState& st() {
    static SearchState s;
    return s;
}

// What was asked for, as read from the request.
struct Ask {
    std::string typed;             // bounded, as shown again in the field
    std::vector<std::string> words;
    int fld = 0;
    bool all = false;
    std::string since_text, until_text;
    long since = -1, until = -1;   // until: start of the day after
    bool att = false, unread = false;
    bool headers = false;          // subject, sender and recipients only
};

// A sort order chosen on the results is kept like one chosen on the list.
void take_sort_field() {
    static const char* const keys[] = {"arrival", "datetime", "-datetime", "from:",  "-from:",  "subject:",
                                       "-subject:", "bytes:",  "-bytes:",   "to:",    "-to:"};
    const std::string& v = form_find("sort_on");
    for (const char* k : keys)
        if (v == k) {
            std::string want = v == "arrival" ? std::string() : v;
            if (want != prof.xsort_on) {
                prof.xsort_on = want;
                g.ui_changed = 1;
            }
        }
}

Ask read_ask() {
    Ask a;
    a.typed = utf8_cut(form_find("q"), kSearchMaxInput);
    a.words = search_words(a.typed);
    const std::string& f = form_find("fld");
    int fld = 0;
    a.fld = fld_parse_num(f, fld) && fld_visible(fld) ? fld : 0;
    a.all = form_find("sfld") == "all";
    a.since = search_day(form_find("since"));
    if (a.since >= 0) a.since_text = form_find("since");
    a.until = search_day(form_find("until"));
    if (a.until >= 0) {
        a.until_text = form_find("until");
        a.until += 86400;
    }
    a.att = !form_find("att").empty();
    a.unread = !form_find("unread").empty();
    a.headers = form_find("in") == "headers";
    return a;
}

bool narrowed(const Ask& a) { return !a.words.empty() || a.since >= 0 || a.until >= 0 || a.att || a.unread; }

// The request's search as link parameters (each value percent-encoded).
std::string ask_params(const Ask& a) {
    std::string p = "q=" + pct_encode(a.typed);
    if (a.all) p += "&amp;sfld=all";
    if (!a.since_text.empty()) p += "&amp;since=" + pct_encode(a.since_text);
    if (!a.until_text.empty()) p += "&amp;until=" + pct_encode(a.until_text);
    if (a.att) p += "&amp;att=1";
    if (a.unread) p += "&amp;unread=1";
    if (a.headers) p += "&amp;in=headers";
    return p;
}

// Counters of one search, for the page.
struct Tally {
    int scanned = 0;       // records looked at
    int headers_only = 0;  // bodies on the server (or missing): headers only
    int reused = 0, decoded = 0;   // texts from the cache, texts decoded now
};

bool passes_filters(const Ask& a, const Record& r) {
    const std::string& fl = r[H_FLAGS];
    if (flag_has(fl, "deleted,")) return false;
    if (a.unread && flag_has(fl, "read,")) return false;
    if (a.att && !flag_has(fl, "file,")) return false;
    if (a.since >= 0 || a.until >= 0) {
        long t = parsedate(r[H_DATE]);
        if (t <= 0) return false;   // an undated message is in no range
        if (a.since >= 0 && t < a.since) return false;
        if (a.until >= 0 && t >= a.until) return false;
    }
    return true;
}

// A message whose text is in its file (not left on the server).
bool has_body(const Record& r) {
    const std::string& fl = r[H_FLAGS];
    return !flag_has(fl, "rbody,") && !flag_has(fl, "new,");
}

// The context line of a hit found in the text, from the message itself.
std::string snippet_of(const Ask& a, const Hit& h) {
    MappedFile file(fld_item(h.fld, std::atoi(h.rec[H_ID].c_str())));
    if (!file.ok()) return {};
    const std::string text = search_message_text(file.view());
    return g.gwml ? search_snippet(text, search_fold(text), a.words, "<b>", "</b>")
                  : search_snippet(text, search_fold(text), a.words, "<mark>", "</mark>");
}

// Display order of the user's sort key, as on the list page: no key keeps
// arrival order (newest first); a key alone is ascending, "-" descending.
void sort_hits(std::vector<Hit>& hits) {
    std::string key = sort_key_of(prof.xsort_on);
    if (key.empty()) return;
    bool desc = key[0] == '-';
    if (desc) key.erase(0, 1);
    int pos = -1;
    for (int i = 0; i < nhead; ++i)
        if (key == h_names[i]) pos = i;
    if (key != "datetime" && pos < 0) return;
    auto cmp = [&](const Hit& x, const Hit& y) -> int {
        if (key == "datetime") {
            long a = parsedate(x.rec[H_DATE]), b = parsedate(y.rec[H_DATE]);
            return a < b ? -1 : (a > b ? 1 : 0);
        }
        const std::size_t p = static_cast<std::size_t>(pos);
        if (pos == H_BYTES) {
            long a = std::atol(x.rec[p].c_str()), b = std::atol(y.rec[p].c_str());
            return a < b ? -1 : (a > b ? 1 : 0);
        }
        return idx_text_cmp(x.rec[p], y.rec[p]);
    };
    std::stable_sort(hits.begin(), hits.end(), [&](const Hit& x, const Hit& y) {
        int c = cmp(x, y);
        return desc ? c > 0 : c < 0;
    });
}

void search_folder(const Ask& a, int fld, std::vector<Hit>& hits, Tally& tally) {
    if (!fld_readxov(fld)) return;
    const Index& idx = mainidx();
    std::unique_ptr<SearchTextCache> cache;
    if (!a.words.empty() && !a.headers) {
        std::vector<int> ids;
        for (const Record& r : idx.recs)
            if (has_body(r)) ids.push_back(std::atoi(r[H_ID].c_str()));
        cache = std::make_unique<SearchTextCache>(fld);
        cache->plan(ids);
    }
    for (int pos = idx.n - 1; pos >= 0; --pos) {
        const Record& r = idx.recs[static_cast<std::size_t>(pos)];
        const int id = std::atoi(r[H_ID].c_str());
        const bool body = has_body(r);
        tally.scanned++;
        std::string_view folded;
        bool asked = false, text_ok = false;
        auto text = [&] {
            if (!asked) folded = cache->text(id, &text_ok);
            asked = true;
        };
        // A cache being written anew must cover every message.
        if (cache && body && cache->rewriting()) text();
        if (!passes_filters(a, r)) continue;
        if (a.words.empty()) {
            hits.push_back({fld, r, false, {}});
            continue;
        }
        std::vector<char> found(a.words.size(), 0);
        if (search_words_in(a.words, search_fold(search_header_text(r)), found)) {
            hits.push_back({fld, r, false, {}});
            continue;
        }
        if (a.headers) continue;
        if (body) text();
        if (!text_ok) {
            tally.headers_only++;
            continue;
        }
        if (search_words_in(a.words, folded, found)) hits.push_back({fld, r, true, {}});
    }
    if (cache) {
        cache->finish();
        tally.reused += cache->reused();
        tally.decoded += cache->decoded();
    }
}

void set_page_vars(const Ask& a, const Tally& tally) {
    SearchState& s = st();
    const std::size_t n = s.hits.size();
    int ps = g.gwml ? prof.xwml_page_size : prof.xpage_size;
    if (ps <= 0) ps = g.gwml ? 5 : 10;
    const std::size_t size = static_cast<std::size_t>(ps);
    std::size_t upto = static_cast<std::size_t>(std::max(0, std::atoi(form_find("upto").c_str())));
    if (upto >= n) upto = n ? (n - 1) / size * size : 0;
    s.first = upto;
    s.count = std::min(size, n - upto);
    for (std::size_t i = s.first; i < s.first + s.count; ++i)
        if (s.hits[i].in_text) s.hits[i].snippet = snippet_of(a, s.hits[i]);
    const std::string base = sfmt("%s?cmd=search&amp;utoken=%s&amp;fld=%d&amp;%s", g.path_script.c_str(),
                                  url_encode(g.utoken).c_str(), a.fld, ask_params(a).c_str());
    var_set("b_search", base);
    if (upto > 0) var_set("b_list_prev", sfmt("%s&amp;upto=%zu", base.c_str(), upto > size ? upto - size : 0));
    if (upto + size < n) var_set("b_list_next", sfmt("%s&amp;upto=%zu", base.c_str(), upto + size));
    var_set("pages", std::to_string((n + size - 1) / size));
    var_set("page_num", std::to_string(upto / size + 1));
    var_set("nitems", std::to_string(n));
    var_set("s_scanned", std::to_string(tally.scanned));
    if (tally.headers_only) var_set("s_remote", std::to_string(tally.headers_only));
    var_set("s_q", value_encode(a.typed));
    if (a.all) var_set("s_all", "1");
    else var_set("s_one", "1");
    if (!a.since_text.empty()) var_set("s_since", value_encode(a.since_text));
    if (!a.until_text.empty()) var_set("s_until", value_encode(a.until_text));
    if (a.att) var_set("s_att", "1");
    if (a.unread) var_set("s_unread", "1");
    if (a.headers) var_set("s_headers", "1");
    if (!narrowed(a)) var_set("s_empty", "1");
}

}  // namespace

void search_reset() { st() = SearchState{}; }

int f_search() {
    if (!user_checkauth()) {
        if (f_error_text().empty()) f_error("%s", lang_get("User or Password failed, login again"));
        return 0;
    }
    take_sort_field();
    const Ask a = read_ask();
    // The folder searched becomes the current one, as listing it would:
    // the page's forms (and the selection's moves and deletes) name it.
    if (prof.xfld != a.fld) {
        prof.xfld = a.fld;
        g.ui_changed = 1;
    }
    SearchState& s = st();
    s.hits.clear();
    s.one_folder = !a.all;
    Tally tally;
    if (narrowed(a)) {
        if (a.all) {
            for (int k = 0; k < kMaxFolders; ++k)
                if (fld_visible(k)) search_folder(a, k, s.hits, tally);
            f_error_clear();   // a folder never opened has no index yet: nothing to report
        } else {
            search_folder(a, a.fld, s.hits, tally);
        }
        sort_hits(s.hits);
    }
    set_page_vars(a, tally);
    imsg("Search fld=%d all=%d words=%zu scanned=%d found=%zu headers_only=%d cached=%d decoded=%d", a.fld,
         a.all ? 1 : 0, a.words.size(), tally.scanned, s.hits.size(), tally.headers_only, tally.reused, tally.decoded);
    s.showing = true;
    tpl_show("search");
    s.showing = false;
    return 1;
}

void view_show_list(const std::string& block) {
    SearchState& s = st();
    if (!s.showing) {
        tpl_show_list(block);
        return;
    }
    ListState& ls = list_state();
    const int keep = ls.xfolder;
    std::string out;
    const int n = static_cast<int>(s.hits.size());
    for (std::size_t i = 0; i < s.count; ++i) {
        const Hit& h = s.hits[s.first + i];
        ls.xfolder = h.fld;   // each row's links name its own folder
        list_row_vars(h.rec, n - 1 - static_cast<int>(s.first + i), n, static_cast<int>(i) + 1);
        const std::string id = value_encode(h.rec[H_ID]);
        var_set("h_snippet", h.snippet);
        var_set("h_fld", std::to_string(h.fld));
        var_set("h_folder", value_encode(get_xfld_name(h.fld)));
        // Selection boxes only where the selection form's folder is the row's.
        var_set("h_sel", s.one_folder && !g.gwml
                             ? sfmt("<input type=\"checkbox\" id=\"sel_%s\" name=\"sel_%s\"><label for=\"sel_%s\" "
                                    "class=\"vh\">Select %s</label>",
                                    id.c_str(), id.c_str(), id.c_str(), var_find("h_subject_40").c_str())
                             : std::string());
        std::string line = ncpy(block, 9999);
        tpl_replace_vars(line);
        out += line;
        out += '\n';
    }
    ls.xfolder = keep;
    gwrite(out);
}
