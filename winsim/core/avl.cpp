// RTL generic tables, AVL flavour, laid out as Windows lays them out.
//
// Each element lives in one block from the table's AllocateRoutine: the
// RTL_BALANCED_LINKS header first, the caller's element copied right after it.
// Callers get pointers to the element, which stay valid until that element is
// deleted, so rebalancing and deletion relink nodes and never move elements.
//
// BalancedRoot is a sentinel: its RightChild is the real root, and the root's
// Parent points back at it (the sentinel's own Parent points at itself). Balance
// is height(right) - height(left), kept within -1..1. DepthOfTree is the height of
// the tree in levels; OrderedPointer/WhichOrderedElement remember the last element
// found by index (1-based) so that walking a table by index is linear overall.
//
// No locking: as on Windows, the caller serialises access to a table.

#include <cstring>

#include "platform/km.h"

namespace {

using Links = RTL_BALANCED_LINKS;

// ULONG is 32-bit while the host's ULONG_MAX is not.
constexpr ULONG kMaxUlong = 0xFFFFFFFFu;

inline PVOID UserData(Links* node) { return reinterpret_cast<char*>(node) + sizeof(Links); }

inline Links* Sentinel(PRTL_AVL_TABLE table) { return &table->BalancedRoot; }
inline Links* Root(PRTL_AVL_TABLE table) { return table->BalancedRoot.RightChild; }

Links* Leftmost(Links* node) {
    while (node->LeftChild != nullptr)
        node = node->LeftChild;
    return node;
}

Links* Rightmost(Links* node) {
    while (node->RightChild != nullptr)
        node = node->RightChild;
    return node;
}

Links* Successor(PRTL_AVL_TABLE table, Links* node) {
    if (node->RightChild != nullptr)
        return Leftmost(node->RightChild);
    Links* child = node;
    Links* parent = node->Parent;
    while (parent != Sentinel(table) && child == parent->RightChild) {
        child = parent;
        parent = parent->Parent;
    }
    return parent == Sentinel(table) ? nullptr : parent;
}

Links* Predecessor(PRTL_AVL_TABLE table, Links* node) {
    if (node->LeftChild != nullptr)
        return Rightmost(node->LeftChild);
    Links* child = node;
    Links* parent = node->Parent;
    while (parent != Sentinel(table) && child == parent->LeftChild) {
        child = parent;
        parent = parent->Parent;
    }
    return parent == Sentinel(table) ? nullptr : parent;
}

enum class SearchResult { EmptyTree, FoundNode, InsertAsLeft, InsertAsRight };

// The compare routine gets the caller's buffer first and the table's element
// second, as on Windows.
SearchResult FindNodeOrParent(PRTL_AVL_TABLE table, PVOID buffer, Links** where) {
    Links* node = Root(table);
    if (node == nullptr)
        return SearchResult::EmptyTree;
    for (;;) {
        RTL_GENERIC_COMPARE_RESULTS r = table->CompareRoutine(table, buffer, UserData(node));
        if (r == GenericLessThan) {
            if (node->LeftChild == nullptr) {
                *where = node;
                return SearchResult::InsertAsLeft;
            }
            node = node->LeftChild;
        } else if (r == GenericGreaterThan) {
            if (node->RightChild == nullptr) {
                *where = node;
                return SearchResult::InsertAsRight;
            }
            node = node->RightChild;
        } else {
            *where = node;
            return SearchResult::FoundNode;
        }
    }
}

// The sentinel has no left child, so this also replaces the root.
inline void ReplaceChild(Links* parent, Links* old, Links* now) {
    if (parent->LeftChild == old)
        parent->LeftChild = now;
    else
        parent->RightChild = now;
}

// Restores balance at a node whose Balance reached +2 or -2, by a single or a
// double rotation. Returns true when the subtree ends up one level shorter than
// it was with the node at +-2 (always the case after an insertion; after a
// deletion a single rotation over an evenly balanced child keeps the height).
bool Rebalance(Links* a) {
    Links* parent = a->Parent;
    if (a->Balance > 0) {
        Links* b = a->RightChild;
        if (b->Balance >= 0) {
            // Rotate left around a.
            a->RightChild = b->LeftChild;
            if (b->LeftChild != nullptr)
                b->LeftChild->Parent = a;
            b->LeftChild = a;
            a->Parent = b;
            b->Parent = parent;
            ReplaceChild(parent, a, b);
            if (b->Balance == 1) {
                a->Balance = 0;
                b->Balance = 0;
                return true;
            }
            a->Balance = 1;
            b->Balance = -1;
            return false;
        }
        // Right-left: c, b's left child, becomes the subtree's root.
        Links* c = b->LeftChild;
        b->LeftChild = c->RightChild;
        if (c->RightChild != nullptr)
            c->RightChild->Parent = b;
        a->RightChild = c->LeftChild;
        if (c->LeftChild != nullptr)
            c->LeftChild->Parent = a;
        c->RightChild = b;
        b->Parent = c;
        c->LeftChild = a;
        a->Parent = c;
        c->Parent = parent;
        ReplaceChild(parent, a, c);
        a->Balance = (c->Balance == 1) ? -1 : 0;
        b->Balance = (c->Balance == -1) ? 1 : 0;
        c->Balance = 0;
        return true;
    }

    Links* b = a->LeftChild;
    if (b->Balance <= 0) {
        // Rotate right around a.
        a->LeftChild = b->RightChild;
        if (b->RightChild != nullptr)
            b->RightChild->Parent = a;
        b->RightChild = a;
        a->Parent = b;
        b->Parent = parent;
        ReplaceChild(parent, a, b);
        if (b->Balance == -1) {
            a->Balance = 0;
            b->Balance = 0;
            return true;
        }
        a->Balance = -1;
        b->Balance = 1;
        return false;
    }
    // Left-right: c, b's right child, becomes the subtree's root.
    Links* c = b->RightChild;
    b->RightChild = c->LeftChild;
    if (c->LeftChild != nullptr)
        c->LeftChild->Parent = b;
    a->LeftChild = c->RightChild;
    if (c->RightChild != nullptr)
        c->RightChild->Parent = a;
    c->LeftChild = b;
    b->Parent = c;
    c->RightChild = a;
    a->Parent = c;
    c->Parent = parent;
    ReplaceChild(parent, a, c);
    a->Balance = (c->Balance == -1) ? 1 : 0;
    b->Balance = (c->Balance == 1) ? -1 : 0;
    c->Balance = 0;
    return true;
}

inline void ForgetOrderedElement(PRTL_AVL_TABLE table) {
    table->OrderedPointer = nullptr;
    table->WhichOrderedElement = 0;
}

}  // namespace

void RtlInitializeGenericTableAvl(PRTL_AVL_TABLE table, PRTL_AVL_COMPARE_ROUTINE compare,
                                  PRTL_AVL_ALLOCATE_ROUTINE allocate, PRTL_AVL_FREE_ROUTINE free,
                                  PVOID tableContext) {
    std::memset(static_cast<void*>(table), 0, sizeof(*table));
    table->BalancedRoot.Parent = &table->BalancedRoot;
    table->CompareRoutine = compare;
    table->AllocateRoutine = allocate;
    table->FreeRoutine = free;
    table->TableContext = tableContext;
}

PVOID RtlInsertElementGenericTableAvl(PRTL_AVL_TABLE table, PVOID buffer, ULONG bufferSize,
                                      PBOOLEAN newElement) {
    Links* where = nullptr;
    SearchResult found = FindNodeOrParent(table, buffer, &where);
    if (found == SearchResult::FoundNode) {
        if (newElement != nullptr)
            *newElement = FALSE;
        return UserData(where);
    }
    if (newElement != nullptr)
        *newElement = FALSE;  // until the element is really in
    if (bufferSize > kMaxUlong - sizeof(Links))  // the block size is a ULONG
        return nullptr;
    auto* node = static_cast<Links*>(table->AllocateRoutine(table, static_cast<ULONG>(sizeof(Links) + bufferSize)));
    if (node == nullptr)
        return nullptr;

    std::memset(static_cast<void*>(node), 0, sizeof(Links));
    if (bufferSize != 0)
        std::memcpy(UserData(node), buffer, bufferSize);
    switch (found) {
        case SearchResult::EmptyTree:
            where = Sentinel(table);
            where->RightChild = node;
            break;
        case SearchResult::InsertAsLeft:
            where->LeftChild = node;
            break;
        default:
            where->RightChild = node;
            break;
    }
    node->Parent = where;
    table->NumberGenericTableElements++;
    ForgetOrderedElement(table);

    // Walk up while the subtree below grew by a level; one rotation ends it.
    Links* child = node;
    Links* parent = where;
    for (;;) {
        if (parent == Sentinel(table)) {
            table->DepthOfTree++;
            break;
        }
        parent->Balance += (child == parent->LeftChild) ? -1 : 1;
        if (parent->Balance == 0)
            break;
        if (parent->Balance == 1 || parent->Balance == -1) {
            child = parent;
            parent = parent->Parent;
            continue;
        }
        Rebalance(parent);
        break;
    }

    if (newElement != nullptr)
        *newElement = TRUE;
    return UserData(node);
}

PVOID RtlLookupElementGenericTableAvl(PRTL_AVL_TABLE table, PVOID buffer) {
    Links* where = nullptr;
    if (FindNodeOrParent(table, buffer, &where) != SearchResult::FoundNode)
        return nullptr;
    return UserData(where);
}

BOOLEAN RtlDeleteElementGenericTableAvl(PRTL_AVL_TABLE table, PVOID buffer) {
    Links* x = nullptr;
    if (FindNodeOrParent(table, buffer, &x) != SearchResult::FoundNode)
        return FALSE;
    // buffer may be the element being deleted; it is not touched after this point.

    // An enumeration positioned on this element resumes with the next one.
    if (table->RestartKey == x)
        table->RestartKey = Predecessor(table, x);

    // With two children, x's in-order successor y (which has no left child) is
    // unlinked from its place and then takes x's place in the tree.
    Links* y = (x->LeftChild != nullptr && x->RightChild != nullptr) ? Leftmost(x->RightChild) : x;
    Links* child = (y->LeftChild != nullptr) ? y->LeftChild : y->RightChild;
    Links* p = y->Parent;
    bool leftShrank = (p->LeftChild == y);
    if (leftShrank)
        p->LeftChild = child;
    else
        p->RightChild = child;
    if (child != nullptr)
        child->Parent = p;
    if (y != x) {
        y->LeftChild = x->LeftChild;
        y->RightChild = x->RightChild;
        y->Balance = x->Balance;
        y->Parent = x->Parent;
        if (y->LeftChild != nullptr)
            y->LeftChild->Parent = y;
        if (y->RightChild != nullptr)
            y->RightChild->Parent = y;
        ReplaceChild(x->Parent, x, y);
        if (p == x)
            p = y;
    }

    // Walk up while the subtree below lost a level.
    for (;;) {
        if (p == Sentinel(table)) {
            table->DepthOfTree--;
            break;
        }
        p->Balance += leftShrank ? 1 : -1;
        if (p->Balance == 1 || p->Balance == -1)
            break;  // was even: one side shorter now, height unchanged
        Links* up = p->Parent;
        bool wasLeft = (up->LeftChild == p);
        if (p->Balance != 0 && !Rebalance(p))
            break;
        leftShrank = wasLeft;
        p = up;
    }

    table->NumberGenericTableElements--;
    table->DeleteCount++;
    ForgetOrderedElement(table);
    table->FreeRoutine(table, x);
    return TRUE;
}

PVOID RtlGetElementGenericTableAvl(PRTL_AVL_TABLE table, ULONG i) {
    ULONG count = table->NumberGenericTableElements;
    if (i == kMaxUlong || i >= count)
        return nullptr;
    ULONG target = i + 1;  // positions are 1-based, as WhichOrderedElement

    // Start from whichever is nearest: the first, the last, or the remembered one.
    Links* node;
    ULONG at;
    ULONG fromFirst = target - 1;
    ULONG fromLast = count - target;
    if (fromFirst <= fromLast) {
        node = Leftmost(Root(table));
        at = 1;
    } else {
        node = Rightmost(Root(table));
        at = count;
    }
    auto* cached = static_cast<Links*>(table->OrderedPointer);
    ULONG cachedAt = table->WhichOrderedElement;
    if (cached != nullptr && cachedAt != 0) {
        ULONG fromCached = cachedAt > target ? cachedAt - target : target - cachedAt;
        if (fromCached < (fromFirst < fromLast ? fromFirst : fromLast)) {
            node = cached;
            at = cachedAt;
        }
    }
    while (at < target) {
        node = Successor(table, node);
        ++at;
    }
    while (at > target) {
        node = Predecessor(table, node);
        --at;
    }
    table->OrderedPointer = node;
    table->WhichOrderedElement = target;
    return UserData(node);
}

ULONG RtlNumberGenericTableElementsAvl(PRTL_AVL_TABLE table) { return table->NumberGenericTableElements; }

BOOLEAN RtlIsGenericTableEmptyAvl(PRTL_AVL_TABLE table) { return Root(table) == nullptr ? TRUE : FALSE; }

// RestartKey holds the element returned last; past the end it stays on the last
// element, so further calls keep answering NULL until new larger elements appear.
PVOID RtlEnumerateGenericTableAvl(PRTL_AVL_TABLE table, BOOLEAN restart) {
    if (restart)
        table->RestartKey = nullptr;
    if (Root(table) == nullptr)
        return nullptr;
    Links* node;
    if (table->RestartKey == nullptr) {
        node = Leftmost(Root(table));
    } else {
        node = Successor(table, table->RestartKey);
        if (node == nullptr)
            return nullptr;
    }
    table->RestartKey = node;
    return UserData(node);
}
