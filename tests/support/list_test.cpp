#include "support/list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
std::vector<std::string> g_msgs;
void keep_msg(const char* t) { g_msgs.emplace_back(t); }

// Walks the list from the start and returns its items as text.
std::string walk(LINK_LIST* l) {
    std::string out;
    list_start(l);
    while (void* p = list_get(l)) out += static_cast<const char*>(p);
    return out;
}
}  // namespace

TEST(List, NullListGivesZero) {
    EXPECT_EQ(list_init(nullptr, nullptr), 0);
    EXPECT_EQ(list_start(nullptr), 0);
    EXPECT_EQ(list_forward(nullptr), 0);
    EXPECT_EQ(list_get(nullptr), nullptr);
    EXPECT_EQ(list_add(nullptr, (void*)"a"), 0);
    EXPECT_EQ(list_remove(nullptr), nullptr);
    EXPECT_EQ(list_num(nullptr), 0);
    EXPECT_EQ(list_is_last(nullptr, nullptr), 0);
}

TEST(List, UseBeforeInitEndsTheProcess) {
    EXPECT_EXIT(
        {
            LINK_LIST l;
            list_start(&l);
        },
        ::testing::ExitedWithCode(1), "Error Using Link List before Init");
}

TEST(List, AddGetAndPositions) {
    LINK_LIST l;
    char a[] = "a", b[] = "b", c[] = "c";
    ASSERT_EQ(list_init(&l, nullptr), 1);
    EXPECT_EQ(list_get(&l), nullptr);           // no position yet
    EXPECT_EQ(list_add(&l, nullptr), 0);        // null items refused
    EXPECT_EQ(list_add(&l, a), 1);
    EXPECT_EQ(list_add(&l, b), 1);
    EXPECT_EQ(list_add(&l, c), 1);
    EXPECT_EQ(list_num(&l), 3);
    EXPECT_EQ(walk(&l), "abc");
    EXPECT_EQ(list_get(&l), nullptr);           // after the last item

    EXPECT_EQ(list_get_num(&l, 0), a);
    EXPECT_EQ(list_get_num(&l, 2), c);
    EXPECT_EQ(list_get_num(&l, 3), nullptr);
    EXPECT_EQ(list_get_num(&l, -1), nullptr);

    EXPECT_EQ(list_is_last(&l, c), 1);
    EXPECT_EQ(list_is_last(&l, a), 0);

    // From no position forward goes to the first node.
    EXPECT_EQ(list_forward(&l), 1);
    EXPECT_EQ(list_get(&l), a);
    EXPECT_EQ(list_forward(&l), 1);             // skips b
    EXPECT_EQ(list_get(&l), c);
    list_start(&l);
    EXPECT_EQ(list_forward_num(&l, 2), 1);
    EXPECT_EQ(list_get(&l), c);
    list_start(&l);
    EXPECT_EQ(list_forward_num(&l, 3), -1);     // ran off the end
    list_clear(&l);
    EXPECT_EQ(list_num(&l), 0);
    EXPECT_EQ(list_is_last(&l, c), 0);
}

TEST(List, RemoveTakesTheItemLastReturned) {
    LINK_LIST l;
    char a[] = "a", b[] = "b", c[] = "c", d[] = "d";
    list_init(&l, nullptr);
    for (char* p : {a, b, c, d}) list_add(&l, p);

    list_start(&l);
    EXPECT_EQ(list_remove(&l), nullptr);        // nothing returned yet
    EXPECT_EQ(list_get(&l), a);
    EXPECT_EQ(list_get(&l), b);
    EXPECT_EQ(list_remove(&l), b);              // the one just returned
    EXPECT_EQ(list_get(&l), c);                 // current stayed after it
    EXPECT_EQ(walk(&l), "acd");

    // At the end (no position) the last node goes.
    EXPECT_EQ(list_get(&l), nullptr);
    EXPECT_EQ(list_remove(&l), d);
    EXPECT_EQ(list_is_last(&l, c), 1);
    EXPECT_EQ(list_remove(&l), c);
    EXPECT_EQ(list_remove(&l), a);
    EXPECT_EQ(list_remove(&l), nullptr);
    EXPECT_EQ(list_num(&l), 0);
    EXPECT_EQ(walk(&l), "");

    // Removing while walking every item empties the list cleanly.
    for (char* p : {a, b, c}) list_add(&l, p);
    list_start(&l);
    while (list_get(&l)) list_remove(&l);
    EXPECT_EQ(list_num(&l), 0);
    list_add(&l, d);
    EXPECT_EQ(walk(&l), "d");
    list_clear(&l);
}

TEST(List, ClearDeallocFreesItemsAndMessagesArePrefixed) {
    LINK_LIST l;
    g_msgs.clear();
    list_init(&l, keep_msg);
    for (int i = 0; i < 5; ++i) list_add(&l, strdup("x"));
    EXPECT_EQ(list_clear_dealloc(&l), 1);       // freed with free(): ASan checks
    EXPECT_EQ(list_num(&l), 0);
    EXPECT_EQ(list_emsg(&l, "n=%d\n", 3), 1);
    ASSERT_EQ(g_msgs.size(), 1u);
    EXPECT_EQ(g_msgs[0], "LIST: n=3\n");

    static int released = 0;
    int items[3];
    for (int& i : items) list_add(&l, &i);
    list_clear_dealloc(&l, [](void*) { ++released; });
    EXPECT_EQ(released, 3);

    // Re-initialising a list in use drops its nodes, not its items.
    char a[] = "a";
    list_add(&l, a);
    list_init(&l, nullptr);
    EXPECT_EQ(list_num(&l), 0);
    EXPECT_EQ(list_emsg(&l, "quiet"), 1);
}
