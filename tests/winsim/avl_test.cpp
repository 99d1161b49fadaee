// RTL AVL generic tables: behaviour against a std::map model, the tree's shape
// (links, balance factors, height bound), and the allocate/free contract.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "platform/km.h"

namespace {

struct Entry {
    uint32_t key;
    uint32_t value;
};

// Records every block the table asks for and gives back, and can refuse one.
struct Tracker {
    std::set<void*> live;
    size_t allocations = 0;
    size_t frees = 0;
    bool failNext = false;
    ULONG lastSize = 0;
    bool badFree = false;          // a free of a block not allocated here
    bool compareOnNonNode = false; // the element argument was not inside a node
    size_t compares = 0;
};

Tracker* TrackerOf(PRTL_AVL_TABLE table) { return static_cast<Tracker*>(table->TableContext); }

RTL_GENERIC_COMPARE_RESULTS CompareEntries(PRTL_AVL_TABLE table, PVOID first, PVOID second) {
    Tracker* t = TrackerOf(table);
    t->compares++;
    // The second argument is always an element in the table: it must sit right
    // after the links header of a live block.
    void* block = static_cast<char*>(second) - sizeof(RTL_BALANCED_LINKS);
    if (t->live.count(block) == 0)
        t->compareOnNonNode = true;
    uint32_t a = static_cast<Entry*>(first)->key;
    uint32_t b = static_cast<Entry*>(second)->key;
    if (a < b)
        return GenericLessThan;
    if (a > b)
        return GenericGreaterThan;
    return GenericEqual;
}

PVOID Allocate(PRTL_AVL_TABLE table, ULONG byteSize) {
    Tracker* t = TrackerOf(table);
    t->lastSize = byteSize;
    if (t->failNext) {
        t->failNext = false;
        return nullptr;
    }
    void* p = std::malloc(byteSize);
    t->live.insert(p);
    t->allocations++;
    return p;
}

void Free(PRTL_AVL_TABLE table, PVOID buffer) {
    Tracker* t = TrackerOf(table);
    if (t->live.erase(buffer) == 0) {
        t->badFree = true;
        return;
    }
    t->frees++;
    std::free(buffer);
}

class AvlTable : public ::testing::Test {
protected:
    void SetUp() override { RtlInitializeGenericTableAvl(&table_, CompareEntries, Allocate, Free, &tracker_); }

    void TearDown() override {
        // Empty the table the way drivers do, so every block goes back.
        while (PVOID p = RtlGetElementGenericTableAvl(&table_, 0))
            ASSERT_TRUE(RtlDeleteElementGenericTableAvl(&table_, p));
        EXPECT_TRUE(tracker_.live.empty());
        EXPECT_EQ(tracker_.allocations, tracker_.frees);
        EXPECT_FALSE(tracker_.badFree);
        EXPECT_FALSE(tracker_.compareOnNonNode);
    }

    Entry* Insert(uint32_t key, uint32_t value, BOOLEAN* isNew = nullptr) {
        Entry e{key, value};
        BOOLEAN fresh = 2;  // neither TRUE nor FALSE: shows whether it was written
        auto* p = static_cast<Entry*>(RtlInsertElementGenericTableAvl(&table_, &e, sizeof(e), &fresh));
        if (isNew != nullptr)
            *isNew = fresh;
        return p;
    }
    Entry* Lookup(uint32_t key) {
        Entry e{key, 0};
        return static_cast<Entry*>(RtlLookupElementGenericTableAvl(&table_, &e));
    }
    bool Delete(uint32_t key) {
        Entry e{key, 0};
        return RtlDeleteElementGenericTableAvl(&table_, &e) != FALSE;
    }

    // Checks the links, balance factors and order of the subtree; returns its height.
    int CheckSubtree(PRTL_BALANCED_LINKS node, PRTL_BALANCED_LINKS parent, std::vector<uint32_t>& keys) {
        if (node == nullptr)
            return 0;
        EXPECT_EQ(node->Parent, parent);
        EXPECT_EQ(tracker_.live.count(node), 1u) << "node not from the allocate routine";
        int lh = CheckSubtree(node->LeftChild, node, keys);
        keys.push_back(reinterpret_cast<Entry*>(node + 1)->key);
        int rh = CheckSubtree(node->RightChild, node, keys);
        EXPECT_EQ(node->Balance, rh - lh);
        EXPECT_LE(std::abs(rh - lh), 1);
        return 1 + std::max(lh, rh);
    }

    // Full structural check against the model.
    void Validate(const std::map<uint32_t, uint32_t>& model) {
        ASSERT_EQ(table_.BalancedRoot.Parent, &table_.BalancedRoot);
        ASSERT_EQ(table_.BalancedRoot.LeftChild, nullptr);
        std::vector<uint32_t> keys;
        int height = CheckSubtree(table_.BalancedRoot.RightChild, &table_.BalancedRoot, keys);
        ASSERT_EQ(keys.size(), model.size());
        size_t i = 0;
        for (const auto& [k, v] : model) {
            ASSERT_EQ(keys[i], k) << "in-order position " << i;
            ++i;
        }
        EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), model.size());
        EXPECT_EQ(RtlIsGenericTableEmptyAvl(&table_) != FALSE, model.empty());
        EXPECT_EQ(table_.DepthOfTree, static_cast<ULONG>(height));
        // The AVL height bound: h < 1.4405 log2(n + 2) - 0.3277.
        double bound = 1.4405 * std::log2(static_cast<double>(model.size()) + 2) - 0.3277;
        EXPECT_LE(height, bound) << "n=" << model.size();
        EXPECT_EQ(tracker_.live.size(), model.size());
    }

    std::vector<uint32_t> EnumerateKeys() {
        std::vector<uint32_t> keys;
        for (PVOID p = RtlEnumerateGenericTableAvl(&table_, TRUE); p != nullptr;
             p = RtlEnumerateGenericTableAvl(&table_, FALSE))
            keys.push_back(static_cast<Entry*>(p)->key);
        return keys;
    }

    Tracker tracker_;
    RTL_AVL_TABLE table_;
};

TEST_F(AvlTable, EmptyTableAnswersNothing) {
    EXPECT_TRUE(RtlIsGenericTableEmptyAvl(&table_));
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), 0u);
    EXPECT_EQ(RtlEnumerateGenericTableAvl(&table_, TRUE), nullptr);
    EXPECT_EQ(RtlEnumerateGenericTableAvl(&table_, FALSE), nullptr);
    EXPECT_EQ(RtlGetElementGenericTableAvl(&table_, 0), nullptr);
    EXPECT_EQ(Lookup(1), nullptr);
    EXPECT_FALSE(Delete(1));
    EXPECT_EQ(tracker_.allocations, 0u);
}

TEST_F(AvlTable, InsertCopiesElementAfterLinksHeader) {
    BOOLEAN isNew = FALSE;
    Entry* p = Insert(7, 70, &isNew);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(isNew, TRUE);
    EXPECT_EQ(tracker_.lastSize, sizeof(RTL_BALANCED_LINKS) + sizeof(Entry));
    ASSERT_EQ(tracker_.live.size(), 1u);
    void* block = *tracker_.live.begin();
    EXPECT_EQ(static_cast<void*>(p), static_cast<char*>(block) + sizeof(RTL_BALANCED_LINKS));
    EXPECT_EQ(table_.BalancedRoot.RightChild, block);
    EXPECT_EQ(p->key, 7u);
    EXPECT_EQ(p->value, 70u);
    EXPECT_EQ(Lookup(7), p);
}

TEST_F(AvlTable, InsertOfExistingKeyReturnsExistingWithoutAllocating) {
    Entry* first = Insert(5, 50);
    ASSERT_NE(first, nullptr);
    size_t before = tracker_.allocations;
    BOOLEAN isNew = TRUE;
    Entry* again = Insert(5, 99, &isNew);
    EXPECT_EQ(again, first);
    EXPECT_EQ(isNew, FALSE);
    EXPECT_EQ(first->value, 50u) << "the existing element must not be overwritten";
    EXPECT_EQ(tracker_.allocations, before);
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), 1u);
}

TEST_F(AvlTable, NewElementArgumentIsOptional) {
    Entry e{3, 30};
    EXPECT_NE(RtlInsertElementGenericTableAvl(&table_, &e, sizeof(e), nullptr), nullptr);
    EXPECT_NE(RtlInsertElementGenericTableAvl(&table_, &e, sizeof(e), nullptr), nullptr);
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), 1u);
}

TEST_F(AvlTable, AllocationFailureReturnsNullAndLeavesTableUnchanged) {
    Insert(1, 10);
    Insert(3, 30);
    tracker_.failNext = true;
    BOOLEAN isNew = 2;
    Entry* p = Insert(2, 20, &isNew);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(isNew, FALSE);
    EXPECT_EQ(RtlNumberGenericTableElementsAvl(&table_), 2u);
    EXPECT_EQ(Lookup(2), nullptr);
    Validate({{1, 10}, {3, 30}});
    // The next attempt succeeds.
    EXPECT_NE(Insert(2, 20), nullptr);
    Validate({{1, 10}, {2, 20}, {3, 30}});
}

TEST_F(AvlTable, ElementSizeThatOverflowsTheBlockSizeIsRefused) {
    // The block size is a ULONG: links + element must not wrap to a small block.
    Entry e{1, 1};
    BOOLEAN isNew = 2;
    EXPECT_EQ(RtlInsertElementGenericTableAvl(&table_, &e, 0xFFFFFFF0u, &isNew), nullptr);
    EXPECT_EQ(isNew, FALSE);
    EXPECT_EQ(tracker_.allocations, 0u);
    EXPECT_TRUE(RtlIsGenericTableEmptyAvl(&table_));
}

TEST_F(AvlTable, DeleteByElementPointerFreesThatNode) {
    for (uint32_t k = 0; k < 10; ++k)
        Insert(k, k * 10);
    Entry* p = Lookup(4);
    ASSERT_NE(p, nullptr);
    void* block = reinterpret_cast<char*>(p) - sizeof(RTL_BALANCED_LINKS);
    // The element itself as the key: the table must not read it after the free.
    EXPECT_TRUE(RtlDeleteElementGenericTableAvl(&table_, p));
    EXPECT_EQ(tracker_.live.count(block), 0u);
    EXPECT_EQ(Lookup(4), nullptr);
    EXPECT_FALSE(Delete(4));
    std::map<uint32_t, uint32_t> model;
    for (uint32_t k = 0; k < 10; ++k)
        if (k != 4)
            model[k] = k * 10;
    Validate(model);
}

TEST_F(AvlTable, ElementsKeepTheirAddressesAcrossRebalancing) {
    std::map<uint32_t, Entry*> where;
    for (uint32_t k = 0; k < 200; ++k)
        where[k] = Insert(k, k + 1000);
    for (uint32_t k = 0; k < 200; k += 3)
        ASSERT_TRUE(Delete(k));
    for (const auto& [k, p] : where) {
        if (k % 3 == 0)
            continue;
        EXPECT_EQ(Lookup(k), p);
        EXPECT_EQ(p->value, k + 1000);
    }
}

TEST_F(AvlTable, AscendingInsertBuildsPerfectTree) {
    // 2^10 - 1 keys in order: an AVL tree rotates them into a perfect tree.
    std::map<uint32_t, uint32_t> model;
    for (uint32_t k = 1; k <= 1023; ++k) {
        Insert(k, k);
        model[k] = k;
    }
    Validate(model);
    EXPECT_EQ(table_.DepthOfTree, 10u);
}

TEST_F(AvlTable, GetElementByIndexInKeyOrder) {
    std::map<uint32_t, uint32_t> model;
    std::mt19937 rng(7);
    while (model.size() < 300) {
        uint32_t k = rng() % 100000;
        Insert(k, k);
        model[k] = k;
    }
    std::vector<uint32_t> keys;
    for (const auto& kv : model)
        keys.push_back(kv.first);
    // Forward, backward and random access all agree with the sorted keys.
    for (ULONG i = 0; i < keys.size(); ++i)
        ASSERT_EQ(static_cast<Entry*>(RtlGetElementGenericTableAvl(&table_, i))->key, keys[i]);
    for (ULONG i = static_cast<ULONG>(keys.size()); i-- > 0;)
        ASSERT_EQ(static_cast<Entry*>(RtlGetElementGenericTableAvl(&table_, i))->key, keys[i]);
    for (int n = 0; n < 500; ++n) {
        ULONG i = rng() % keys.size();
        ASSERT_EQ(static_cast<Entry*>(RtlGetElementGenericTableAvl(&table_, i))->key, keys[i]) << i;
    }
    EXPECT_EQ(RtlGetElementGenericTableAvl(&table_, static_cast<ULONG>(keys.size())), nullptr);
    EXPECT_EQ(RtlGetElementGenericTableAvl(&table_, 0xFFFFFFFFu), nullptr);
    // The remembered position must not survive a change of the table.
    RtlGetElementGenericTableAvl(&table_, 150);
    ASSERT_TRUE(Delete(keys[10]));
    keys.erase(keys.begin() + 10);
    EXPECT_EQ(static_cast<Entry*>(RtlGetElementGenericTableAvl(&table_, 150))->key, keys[150]);
    EXPECT_EQ(static_cast<Entry*>(RtlGetElementGenericTableAvl(&table_, 151))->key, keys[151]);
}

TEST_F(AvlTable, EnumerateWalksInOrderAndStaysAtEnd) {
    for (uint32_t k : {50u, 20u, 80u, 10u, 30u, 70u, 90u})
        Insert(k, k);
    EXPECT_EQ(EnumerateKeys(), (std::vector<uint32_t>{10, 20, 30, 50, 70, 80, 90}));
    // Past the end it keeps answering NULL ...
    EXPECT_EQ(RtlEnumerateGenericTableAvl(&table_, FALSE), nullptr);
    EXPECT_EQ(RtlEnumerateGenericTableAvl(&table_, FALSE), nullptr);
    // ... and a restart begins again at the smallest.
    auto* p = static_cast<Entry*>(RtlEnumerateGenericTableAvl(&table_, TRUE));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->key, 10u);
}

TEST_F(AvlTable, DeletingTheCurrentElementDuringEnumerationContinuesWithTheNext) {
    std::map<uint32_t, uint32_t> model;
    for (uint32_t k = 0; k < 64; ++k) {
        Insert(k, k);
        model[k] = k;
    }
    std::vector<uint32_t> seen;
    for (PVOID p = RtlEnumerateGenericTableAvl(&table_, TRUE); p != nullptr;
         p = RtlEnumerateGenericTableAvl(&table_, FALSE)) {
        uint32_t k = static_cast<Entry*>(p)->key;
        seen.push_back(k);
        if (k % 2 == 0 || k == 1) {  // includes the very first element
            ASSERT_TRUE(RtlDeleteElementGenericTableAvl(&table_, p));
            model.erase(k);
        }
    }
    std::vector<uint32_t> all;
    for (uint32_t k = 0; k < 64; ++k)
        all.push_back(k);
    EXPECT_EQ(seen, all);
    Validate(model);
}

TEST_F(AvlTable, RandomOperationsMatchMapModel) {
    std::map<uint32_t, uint32_t> model;
    std::mt19937 rng(12345);
    size_t inserted = 0, deleted = 0;
    for (int op = 0; op < 30000; ++op) {
        // Phases that grow then shrink the table, so deletions reach every shape.
        bool growing = (op / 5000) % 2 == 0;
        uint32_t key = rng() % 1500;
        unsigned dice = rng() % 10;
        if (dice < (growing ? 6u : 3u)) {
            BOOLEAN isNew = 2;
            Entry* p = Insert(key, op, &isNew);
            ASSERT_NE(p, nullptr);
            bool expectNew = model.count(key) == 0;
            ASSERT_EQ(isNew, expectNew ? TRUE : FALSE);
            if (expectNew) {
                model[key] = op;
                ++inserted;
            }
            ASSERT_EQ(p->key, key);
            ASSERT_EQ(p->value, model[key]);
        } else if (dice < 9) {
            bool expect = model.erase(key) != 0;
            ASSERT_EQ(Delete(key), expect) << "key " << key;
            if (expect)
                ++deleted;
        } else {
            Entry* p = Lookup(key);
            auto it = model.find(key);
            if (it == model.end()) {
                ASSERT_EQ(p, nullptr);
            } else {
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(p->value, it->second);
            }
        }
        if (op % 251 == 0) {
            ASSERT_NO_FATAL_FAILURE(Validate(model));
            std::vector<uint32_t> expected;
            for (const auto& kv : model)
                expected.push_back(kv.first);
            ASSERT_EQ(EnumerateKeys(), expected);
        }
    }
    Validate(model);
    EXPECT_EQ(tracker_.allocations, inserted);
    EXPECT_EQ(tracker_.frees, deleted);
    EXPECT_FALSE(tracker_.compareOnNonNode);
}

}  // namespace
