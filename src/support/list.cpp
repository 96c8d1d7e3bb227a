#include "support/list.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "support/str.h"

namespace {
constexpr int kInitMark = 32000;

// A list used before list_init holds garbage pointers in C callers; carrying
// on would corrupt memory far from the cause, so stop at once.
void check_init(const LINK_LIST* l) {
    if (l->init_value != kInitMark) {
        std::fputs("Error Using Link List before Init\n", stderr);
        std::exit(1);
    }
}

void drop_nodes(LINK_LIST* l, void (*release)(void*), bool free_items) {
    list_struct* n = l->first;
    while (n) {
        list_struct* next = n->post;
        if (free_items) (release ? release : std::free)(n->item);
        delete n;
        n = next;
    }
    l->first = l->current = l->last = nullptr;
    l->num = 0;
}
}  // namespace

int list_init(LINK_LIST* l, list_msgfn emsg) {
    if (!l) return 0;
    if (l->init_value == kInitMark) drop_nodes(l, nullptr, false);
    l->init_value = kInitMark;
    l->first = l->current = l->last = nullptr;
    l->num = 0;
    l->emsg = emsg;
    return 1;
}

int list_start(LINK_LIST* l) {
    if (!l) return 0;
    check_init(l);
    l->current = l->first;
    return 1;
}

int list_forward(LINK_LIST* l) {
    if (!l) return 0;
    check_init(l);
    l->current = l->current ? l->current->post : l->first;
    return l->current ? 1 : -1;
}

int list_forward_num(LINK_LIST* l, int n) {
    if (!l) return 0;
    check_init(l);
    for (int i = 0; i < n; ++i)
        if (list_forward(l) < 0) return -1;
    return 1;
}

void* list_get(LINK_LIST* l) {
    if (!l) return nullptr;
    check_init(l);
    if (!l->current) return nullptr;
    void* item = l->current->item;
    l->current = l->current->post;
    return item;
}

void* list_get_num(LINK_LIST* l, int n) {
    if (!l) return nullptr;
    check_init(l);
    if (n < 0) return nullptr;
    list_struct* p = l->first;
    for (int i = 0; p && i < n; ++i) p = p->post;
    return p ? p->item : nullptr;
}

int list_add(LINK_LIST* l, void* item) {
    if (!l) return 0;
    check_init(l);
    if (!item) return 0;
    list_struct* n = new (std::nothrow) list_struct;
    if (!n) {
        list_emsg(l, "Error - add item to list failed\n");
        return 0;
    }
    n->item = item;
    n->pre = l->last;
    if (l->last)
        l->last->post = n;
    else
        l->first = n;
    l->last = n;
    l->num++;
    return 1;
}

void* list_remove(LINK_LIST* l) {
    if (!l) return nullptr;
    check_init(l);
    list_struct* victim = l->current ? l->current->pre : l->last;
    if (!victim) return nullptr;
    if (victim->pre)
        victim->pre->post = victim->post;
    else
        l->first = victim->post;
    if (victim->post)
        victim->post->pre = victim->pre;
    else
        l->last = victim->pre;
    void* item = victim->item;
    delete victim;
    l->num--;
    return item;
}

int list_clear(LINK_LIST* l) {
    if (!l) return 0;
    check_init(l);
    drop_nodes(l, nullptr, false);
    return 1;
}

int list_clear_dealloc(LINK_LIST* l, void (*release)(void*)) {
    if (!l) return 0;
    check_init(l);
    drop_nodes(l, release, true);
    return 1;
}

int list_num(LINK_LIST* l) {
    if (!l) return 0;
    check_init(l);
    return l->num;
}

int list_is_last(LINK_LIST* l, const void* item) {
    if (!l) return 0;
    check_init(l);
    return l->last && l->last->item == item ? 1 : 0;
}

int list_emsg(LINK_LIST* l, const char* fmt, ...) {
    if (!l) return 0;
    if (!l->emsg || !fmt) return 1;
    va_list ap;
    va_start(ap, fmt);
    std::string text = "LIST: " + vsfmt(fmt, ap);
    va_end(ap);
    l->emsg(text.c_str());
    return 1;
}
