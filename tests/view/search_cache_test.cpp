// The folder's search cache: written on the first search, read on the next,
// and never believed over the message files or the index.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store/msgfile.h"
#include "test_env.h"
#include "user/paths.h"
#include "view/search_cache.h"

namespace {

struct CacheEnv : StoreEnv {
    CacheEnv() {
        for (int id = 1; id <= 3; ++id) put(id, "word" + std::to_string(id));
    }
    void put(int id, const std::string& word) {
        create_dir(fld_item(0, id));
        spit(fld_item(0, id), "Subject: s\n\nSome " + word + " Text\n");
    }
    std::string cache_path() const { return fld_file(0, "search.dat"); }

    // One search's worth of cache use: the text of every id, as the search
    // asks for them; answers the texts ("-" for a message not readable).
    struct Run {
        std::vector<std::string> texts;
        int reused = 0, decoded = 0;
        bool rewrote = false;
    };
    Run run(const std::vector<int>& ids) {
        SearchTextCache c(0);
        c.plan(ids);
        Run r;
        r.rewrote = c.rewriting();
        for (int id : ids) {
            bool ok = false;
            std::string_view t = c.text(id, &ok);
            r.texts.push_back(ok ? std::string(t) : "-");
        }
        c.finish();
        r.reused = c.reused();
        r.decoded = c.decoded();
        return r;
    }
};

using Texts = std::vector<std::string>;

TEST(SearchCache, WrittenOnceThenReadWhileTheMessagesStayTheSame) {
    CacheEnv E;
    auto first = E.run({3, 2, 1});
    EXPECT_EQ(first.texts, (Texts{"some word3 text  ", "some word2 text  ", "some word1 text  "}));
    EXPECT_TRUE(first.rewrote);
    EXPECT_EQ(first.decoded, 3);
    ASSERT_TRUE(E.exists(E.cache_path()));

    auto again = E.run({3, 2, 1});
    EXPECT_EQ(again.texts, first.texts);
    EXPECT_FALSE(again.rewrote);
    EXPECT_EQ(again.reused, 3);
    EXPECT_EQ(again.decoded, 0);
    // no temporary file is left behind
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(E.cache_path()).parent_path()))
        files += e.path().extension() == ".tmp";
    EXPECT_EQ(files, 0);
}

TEST(SearchCache, TheMessageFilesAndTheIndexWinOverTheCache) {
    struct Case {
        const char* name;
        void (*change)(CacheEnv&);
        std::vector<int> ids;
        Texts texts;
        int reused;
    };
    const Case cases[] = {
        {"a message replaced (a stub filled in)",
         [](CacheEnv& e) {
             std::string p = fld_item(0, 2);
             std::remove(p.c_str());
             e.put(2, "replaced");
         },
         {1, 2, 3},
         {"some word1 text  ", "some replaced text  ", "some word3 text  "},
         2},
        {"a message file gone", [](CacheEnv&) { std::remove(fld_item(0, 3).c_str()); }, {1, 2, 3},
         {"some word1 text  ", "some word2 text  ", "-"}, 2},
        {"a message no longer in the index", [](CacheEnv&) {}, {1, 3},
         {"some word1 text  ", "some word3 text  "}, 2},
        {"a cache cut short",
         [](CacheEnv& e) {
             auto size = std::filesystem::file_size(e.cache_path());
             ASSERT_EQ(truncate(e.cache_path().c_str(), static_cast<off_t>(size - 5)), 0);
         },
         {1, 2, 3}, {"some word1 text  ", "some word2 text  ", "some word3 text  "}, 2},
        {"a cache of garbage", [](CacheEnv& e) { e.spit(e.cache_path(), "larkspur-search 1\n1 2 3 4 5 999999999999\nxx"); },
         {1, 2, 3},
         {"some word1 text  ", "some word2 text  ", "some word3 text  "}, 0},
        {"another program's file", [](CacheEnv& e) { e.spit(e.cache_path(), "not a cache\n"); }, {1},
         {"some word1 text  "}, 0},
    };
    for (const Case& c : cases) {
        CacheEnv E;
        E.run({1, 2, 3});
        c.change(E);
        auto r = E.run(c.ids);
        EXPECT_EQ(r.texts, c.texts) << c.name;
        EXPECT_EQ(r.reused, c.reused) << c.name;
        EXPECT_TRUE(r.rewrote) << c.name;
        // what was written anew is what the next search reads, whole
        auto next = E.run(c.ids);
        EXPECT_EQ(next.texts, c.texts) << c.name;
        EXPECT_FALSE(next.rewrote) << c.name;
    }
}

}  // namespace
