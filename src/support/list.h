// The doubly linked list with a current position: items are the caller's
// pointers (the list owns its nodes, not its items), walked with
// list_start / list_get, with list_remove taking out the item list_get
// returned last.  Every operation returns 0 for a null list; using a list
// before list_init is a programming error and ends the process.
#pragma once

using list_msgfn = void (*)(const char* text);

struct list_struct {
    list_struct* pre = nullptr;
    void* item = nullptr;
    list_struct* post = nullptr;
};

struct LINK_LIST {
    int init_value = 0;   // 32000 once initialised
    int num = 0;
    list_msgfn emsg = nullptr;
    list_struct* first = nullptr;
    list_struct* current = nullptr;
    list_struct* last = nullptr;
};

int list_init(LINK_LIST* l, list_msgfn emsg);
int list_start(LINK_LIST* l);
int list_forward(LINK_LIST* l);               // 1, or -1 off the end
int list_forward_num(LINK_LIST* l, int n);
void* list_get(LINK_LIST* l);                 // item at current, then advance
void* list_get_num(LINK_LIST* l, int n);      // 0-based from the start
int list_add(LINK_LIST* l, void* item);       // appends; null item refused
void* list_remove(LINK_LIST* l);
int list_clear(LINK_LIST* l);
// Removes every node and frees each item with `release` (std::free when
// null, for items from malloc/strdup).
int list_clear_dealloc(LINK_LIST* l, void (*release)(void*) = nullptr);
int list_num(LINK_LIST* l);
int list_is_last(LINK_LIST* l, const void* item);
int list_emsg(LINK_LIST* l, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
