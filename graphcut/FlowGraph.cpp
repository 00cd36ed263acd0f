#include "graphcut/FlowGraph.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <type_traits>

#include "core/Log.h"

namespace veltrix {

namespace {

constexpr int kNodeSlots = 512;  // per block; the last slot is the end marker of the arc ranges
constexpr int kArcBlockSize = 1024;
constexpr int kOrphanBlockSize = 128;
constexpr uintptr_t kTerminal = 1;
constexpr uintptr_t kOrphan = 2;
constexpr int kInfiniteDistance = 1000000000;

inline FlowNode* headOf(FlowNode* tail, const FlowArc* a) {
    return reinterpret_cast<FlowNode*>(reinterpret_cast<char*>(tail) + a->headOffset);
}
inline FlowNode* tailOf(FlowNode* head, const FlowArc* a) {
    return reinterpret_cast<FlowNode*>(reinterpret_cast<char*>(head) - a->headOffset);
}
inline FlowArc* arcPtr(uintptr_t p) { return reinterpret_cast<FlowArc*>(p); }

// Outgoing arcs of i: [b, e). A tagged range keeps its end address in its first slot.
inline void outRange(const FlowNode* i, FlowArc*& b, FlowArc*& e) {
    uintptr_t f = i->firstOut;
    if (f & 1) {
        FlowArc* m = arcPtr(f - 1);
        b = m + 1;
        e = arcPtr(static_cast<uintptr_t>(m->headOffset));
    } else {
        b = arcPtr(f);
        e = arcPtr((i + 1)->firstOut & ~uintptr_t(1));
    }
}
inline void inRange(const FlowNode* i, uintptr_t*& b, uintptr_t*& e) {
    uintptr_t f = i->firstIn;
    if (f & 1) {
        uintptr_t* m = reinterpret_cast<uintptr_t*>(f - 1);
        b = m + 1;
        e = reinterpret_cast<uintptr_t*>(*m);
    } else {
        b = reinterpret_cast<uintptr_t*>(f);
        e = reinterpret_cast<uintptr_t*>((i + 1)->firstIn & ~uintptr_t(1));
    }
}

// Node at the other end of x's parent arc (x->parent must be an arc).
inline FlowNode* parentNode(FlowNode* x) {
    uintptr_t p = x->parent;
    if (p & 1) return tailOf(x, arcPtr(p - 1));
    return headOf(x, arcPtr(p));
}
// Residual capacity of x's parent arc from the parent towards x.
inline float& downCap(FlowNode* x) {
    uintptr_t p = x->parent;
    if (p & 1) return arcPtr(p - 1)->residualCap;
    return arcPtr(p)->reverseResidualCap;
}
// Residual capacity of x's parent arc from x towards the parent.
inline float& upCap(FlowNode* x) {
    uintptr_t p = x->parent;
    if (p & 1) return arcPtr(p - 1)->reverseResidualCap;
    return arcPtr(p)->residualCap;
}

}  // namespace

struct FlowGraph::NodeBlock {
    FlowNode* nextFree;
    NodeBlock* next;
    FlowNode nodes[kNodeSlots];
};

// Arc storage block with a variable number of slots placed right after the header.
struct alignas(16) FlowGraph::ArcBlock {
    ArcBlock* next;
    int capacity;
    int used;
    FlowArc* slots() { return reinterpret_cast<FlowArc*>(this + 1); }
};

struct alignas(16) FlowGraph::InBlock {
    InBlock* next;
    int capacity;
    int used;
    uintptr_t* slots() { return reinterpret_cast<uintptr_t*>(this + 1); }
};

struct FlowGraph::OrphanRecord {
    FlowNode* node;
    OrphanRecord* next;
};

struct FlowGraph::OrphanPool {
    struct Block {
        Block* next;
        OrphanRecord records[kOrphanBlockSize];
    };
    Block* blocks = nullptr;
    OrphanRecord* freeList = nullptr;
};

FlowGraph::FlowGraph() = default;

namespace {

template <class Block>
void freeChain(Block*& head) {
    while (head) {
        Block* n = head->next;
        std::free(head);
        head = n;
    }
}

}  // namespace

FlowGraph::~FlowGraph() { freeAll(); }

void FlowGraph::freeAll() {
    std::free(arcAt_);
    arcAt_ = nullptr;
    freeChain(nodeBlocks_);
    freeChain(arcBlocks_);
    freeChain(inBlocks_);
    freeChain(spareNodes_);
    for (int k = 0; k < 2; ++k) {
        freeChain(spareArcs_[k]);
        freeChain(spareIns_[k]);
    }
    releaseOrphanPool();
}

void FlowGraph::releaseOrphanPool() {
    if (!orphanPool_) return;
    while (orphanPool_->blocks) {
        OrphanPool::Block* n = orphanPool_->blocks->next;
        std::free(orphanPool_->blocks);
        orphanPool_->blocks = n;
    }
    delete orphanPool_;
    orphanPool_ = nullptr;
}

void FlowGraph::reset() {
    while (nodeBlocks_) {
        NodeBlock* n = nodeBlocks_->next;
        nodeBlocks_->next = spareNodes_;
        spareNodes_ = nodeBlocks_;
        nodeBlocks_ = n;
    }
    while (arcBlocks_) {
        ArcBlock* n = arcBlocks_->next;
        releaseArcBlock(arcBlocks_);
        arcBlocks_ = n;
    }
    while (inBlocks_) {
        InBlock* n = inBlocks_->next;
        releaseInBlock(inBlocks_);
        inBlocks_ = n;
    }
    flow_ = 0.0f;
    queueFirst_[0] = queueFirst_[1] = queueLast_[0] = queueLast_[1] = nullptr;
    orphanFirst_ = orphanLast_ = nullptr;
    time_ = 0;
    nodeCount_ = 0;
    arcCount_ = 0;
    converted_ = false;
    indexArcs_ = false;
    std::free(arcAt_);
    arcAt_ = nullptr;
}

FlowGraph::NodeBlock* FlowGraph::takeNodeBlock() {
    NodeBlock* b = spareNodes_;
    if (b)
        spareNodes_ = b->next;
    else
        b = static_cast<NodeBlock*>(allocate(sizeof(NodeBlock)));
    return b;
}

// Build blocks hold kArcBlockSize slots, converted ones kArcBlockSize + 1; other sizes (a node
// with more arcs than a block) are not kept. The spare list of a size: 0, 1, or -1 for none.
int FlowGraph::spareKind(int capacity) {
    return capacity == kArcBlockSize ? 0 : capacity == kArcBlockSize + 1 ? 1 : -1;
}

template <class Block, class Slot>
Block* FlowGraph::takeBlock(Block* (&spare)[2], int capacity) {
    const int kind = spareKind(capacity);
    Block* b = kind >= 0 ? spare[kind] : nullptr;
    if (b)
        spare[kind] = b->next;
    else
        b = static_cast<Block*>(allocate(sizeof(Block) + capacity * sizeof(Slot)));
    b->capacity = capacity;
    return b;
}

template <class Block>
void FlowGraph::releaseBlock(Block* (&spare)[2], Block* b) {
    const int kind = spareKind(b->capacity);
    if (kind < 0) {
        std::free(b);
        return;
    }
    b->next = spare[kind];
    spare[kind] = b;
}

FlowGraph::ArcBlock* FlowGraph::takeArcBlock(int capacity) {
    return takeBlock<ArcBlock, FlowArc>(spareArcs_, capacity);
}

FlowGraph::InBlock* FlowGraph::takeInBlock(int capacity) {
    return takeBlock<InBlock, uintptr_t>(spareIns_, capacity);
}

void FlowGraph::releaseArcBlock(ArcBlock* b) { releaseBlock(spareArcs_, b); }

void FlowGraph::releaseInBlock(InBlock* b) { releaseBlock(spareIns_, b); }

void FlowGraph::fail(const char* message) {
    if (errorFunction_)
        errorFunction_(message);
    else
        logErr() << message << std::endl;
    throw FlowGraphError{message};
}

void* FlowGraph::allocate(std::size_t bytes) {
    void* p = std::malloc(bytes);
    if (!p) fail("Not enough memory!");
    return p;
}

FlowGraph::Node FlowGraph::addNode() {
    if (!nodeBlocks_ || nodeBlocks_->nextFree == &nodeBlocks_->nodes[kNodeSlots - 1]) {
        NodeBlock* b = takeNodeBlock();
        std::memset(static_cast<void*>(b), 0, sizeof(NodeBlock));
        b->nextFree = &b->nodes[0];
        b->next = nodeBlocks_;
        nodeBlocks_ = b;
    }
    FlowNode* n = nodeBlocks_->nextFree++;
    n->firstOut = 0;
    n->firstIn = 0;
    n->parent = 0;
    n->nextActive = nullptr;
    n->timestamp = 0;
    n->distance = 0;
    n->inSinkTree = 0;
    n->terminalCap = 0.0f;
    ++nodeCount_;
    return n;
}

long FlowGraph::addEdge(Node from, Node to, float cap, float revCap) {
    if (!arcBlocks_ || arcBlocks_->used == kArcBlockSize) {
        ArcBlock* a = takeArcBlock(kArcBlockSize);
        a->used = 0;
        a->next = arcBlocks_;
        arcBlocks_ = a;
        InBlock* in = takeInBlock(kArcBlockSize);
        in->used = 0;
        in->next = inBlocks_;
        inBlocks_ = in;
    }
    FlowArc& a = arcBlocks_->slots()[arcBlocks_->used++];
    a.headOffset = reinterpret_cast<intptr_t>(to);
    a.residualCap = cap;
    a.reverseResidualCap = revCap;
    inBlocks_->slots()[inBlocks_->used++] = reinterpret_cast<uintptr_t>(from);
    ++from->firstOut;
    ++to->firstIn;
    return arcCount_++;
}

void FlowGraph::addTerminalCaps(Node node, float capSource, float capSink) {
    float d = node->terminalCap;
    if (d > 0)
        capSource += d;
    else
        capSink -= d;
    flow_ += std::min(capSource, capSink);
    node->terminalCap = capSource - capSink;
}

FlowGraph::PairSplit FlowGraph::splitPairTerm(float E00, float E01, float E10, float E11) {
    const float B = E01 - E00;
    const float C = E10 - E11;
    if (B < 0) return {0, B, 0, -B, 0, B + C};
    if (C < 0) return {0, -C, 0, C, B + C, 0};
    return {0, 0, 0, 0, B, C};
}

void FlowGraph::addPairTerm(Node x, Node y, float E00, float E01, float E10, float E11) {
    addTerminalCaps(x, E11, E00);
    const PairSplit s = splitPairTerm(E00, E01, E10, E11);
    if (s.xSink != 0 || s.ySink != 0) {
        addTerminalCaps(x, s.xSource, s.xSink);
        addTerminalCaps(y, s.ySource, s.ySink);
    }
    addEdge(x, y, s.cap, s.revCap);
}

void FlowGraph::finishArcs() {
    if (converted_) return;
    indexArcs_ = true;
    padArcless();
    convertArcs();
}

// The solver needs at least one arc: an arc-less graph gets two extra nodes joined by one.
void FlowGraph::padArcless() {
    if (arcCount_ != 0) return;
    Node a = addNode();
    Node b = addNode();
    addEdge(a, b, 1, 0);
}

void FlowGraph::arcResiduals(long arc, float& forward, float& reverse) const {
    forward = arcAt_[arc]->residualCap;
    reverse = arcAt_[arc]->reverseResidualCap;
}

void FlowGraph::setArcResiduals(long arc, float forward, float reverse) {
    arcAt_[arc]->residualCap = forward;
    arcAt_[arc]->reverseResidualCap = reverse;
}

bool FlowGraph::isSourceSide(Node node) const { return node->parent != 0 && node->inSinkTree == 0; }

namespace {

// Assigns every node a contiguous slot range of one arc-storage chain (outgoing arcs or incoming
// entries), in visiting order, and leaves in the node's field the end of its range with bit 0 set
// when the range is tagged. Ranges normally share blocks of kArcBlockSize slots plus one spare;
// a node with more than kArcBlockSize arcs gets a block of its own, sized to fit. A node whose
// successor in its node block does not start right at its end is tagged: the first slot of its
// range holds the end address and the real range starts one slot later.
template <class Block, class Slot, class Alloc, class SetMarker>
void layoutRanges(FlowNode* blockNodes, FlowNode* blockEnd, uintptr_t FlowNode::*field,
                  Block*& current, Alloc&& newBlock, SetMarker&& setMarker) {
    FlowNode* prev = nullptr;
    Slot* prevStart = nullptr;
    Slot* prevEnd = nullptr;
    Block* prevBlock = nullptr;
    bool prevTagged = false;
    for (FlowNode* i = blockNodes; i != blockEnd; ++i) {
        long count = static_cast<long>(i->*field);
        Slot* start;
        Block* where;
        bool tagged = false;
        if (count > kArcBlockSize) {
            where = newBlock(static_cast<int>(count) + 1);
            setMarker(where->slots(), where->slots() + 1 + count);
            start = where->slots() + 1;
            where->used = static_cast<int>(count) + 1;
            tagged = true;
        } else {
            if (!current || current->used + count > kArcBlockSize)
                current = newBlock(kArcBlockSize + 1);
            where = current;
            start = current->slots() + current->used;
            current->used += static_cast<int>(count);
        }
        if (prev && !prevTagged && prevEnd != start) {
            // The predecessor is the last range of its block, which keeps one spare slot.
            setMarker(prevStart, prevEnd + 1);
            prev->*field = reinterpret_cast<uintptr_t>(prevEnd + 1) | 1;
            prevBlock->used += 1;
        }
        i->*field = reinterpret_cast<uintptr_t>(start + count) | (tagged ? 1 : 0);
        prev = i;
        prevStart = start;
        prevEnd = start + count;
        prevBlock = where;
        prevTagged = tagged;
    }
    // End marker slot after the block's last node.
    blockEnd->*field = reinterpret_cast<uintptr_t>(prevEnd);
}

}  // namespace

void FlowGraph::convertArcs() {
    ArcBlock* oldArcs = arcBlocks_;
    InBlock* oldIns = inBlocks_;
    arcBlocks_ = nullptr;
    inBlocks_ = nullptr;
    ArcBlock* lastArc = nullptr;
    InBlock* lastIn = nullptr;

    auto newArcBlock = [&](int capacity) {
        ArcBlock* b = takeArcBlock(capacity);
        b->next = nullptr;
        b->used = 0;
        (lastArc ? lastArc->next : arcBlocks_) = b;
        lastArc = b;
        return b;
    };
    auto newInBlock = [&](int capacity) {
        InBlock* b = takeInBlock(capacity);
        b->next = nullptr;
        b->used = 0;
        (lastIn ? lastIn->next : inBlocks_) = b;
        lastIn = b;
        return b;
    };
    auto arcMarker = [](FlowArc* slot, FlowArc* end) {
        slot->headOffset = reinterpret_cast<intptr_t>(end);
    };
    auto inMarker = [](uintptr_t* slot, uintptr_t* end) { *slot = reinterpret_cast<uintptr_t>(end); };

    ArcBlock* curArc = nullptr;
    InBlock* curIn = nullptr;
    for (NodeBlock* nb = nodeBlocks_; nb; nb = nb->next) {
        layoutRanges<ArcBlock, FlowArc>(nb->nodes, nb->nextFree, &FlowNode::firstOut, curArc,
                                        newArcBlock, arcMarker);
        layoutRanges<InBlock, uintptr_t>(nb->nodes, nb->nextFree, &FlowNode::firstIn, curIn,
                                         newInBlock, inMarker);
    }

    // Every field now holds the end of its range; fill the ranges from the back. Build blocks
    // run newest first and all but the newest are full, which gives each arc's index.
    long blockBase = 0;
    if (indexArcs_) {
        arcAt_ = static_cast<FlowArc**>(allocate(sizeof(FlowArc*) * static_cast<std::size_t>(arcCount_ + 1)));
        blockBase = arcCount_ - (oldArcs ? oldArcs->used : 0);
    }
    for (ArcBlock* ab = oldArcs; ab; ab = ab->next, blockBase -= kArcBlockSize) {
        FlowArc* arcs = ab->slots();
        uintptr_t* tails = oldIns->slots();
        for (int k = 0; k < ab->used; ++k) {
            FlowNode* tail = reinterpret_cast<FlowNode*>(tails[k]);
            FlowNode* head = reinterpret_cast<FlowNode*>(arcs[k].headOffset);
            uintptr_t t = tail->firstOut;
            FlowArc* pos = arcPtr(t & ~uintptr_t(1)) - 1;
            tail->firstOut = reinterpret_cast<uintptr_t>(pos) | (t & 1);
            pos->headOffset = reinterpret_cast<char*>(head) - reinterpret_cast<char*>(tail);
            pos->residualCap = arcs[k].residualCap;
            pos->reverseResidualCap = arcs[k].reverseResidualCap;
            if (arcAt_) arcAt_[blockBase + k] = pos;
            uintptr_t h = head->firstIn;
            uintptr_t* ipos = reinterpret_cast<uintptr_t*>(h & ~uintptr_t(1)) - 1;
            head->firstIn = reinterpret_cast<uintptr_t>(ipos) | (h & 1);
            *ipos = reinterpret_cast<uintptr_t>(pos);
        }
        InBlock* nextIn = oldIns->next;
        releaseInBlock(oldIns);
        oldIns = nextIn;
    }
    while (oldArcs) {
        ArcBlock* n = oldArcs->next;
        releaseArcBlock(oldArcs);
        oldArcs = n;
    }

    // A tagged field points at the marker slot, one before the real range.
    for (NodeBlock* nb = nodeBlocks_; nb; nb = nb->next) {
        for (FlowNode* i = nb->nodes; i != nb->nextFree; ++i) {
            if (i->firstOut & 1)
                i->firstOut = reinterpret_cast<uintptr_t>(arcPtr(i->firstOut - 1) - 1) | 1;
            if (i->firstIn & 1)
                i->firstIn =
                    reinterpret_cast<uintptr_t>(reinterpret_cast<uintptr_t*>(i->firstIn - 1) - 1) | 1;
        }
    }
    converted_ = true;
}

void FlowGraph::setActive(FlowNode* i) {
    if (i->nextActive) return;
    if (queueLast_[1])
        queueLast_[1]->nextActive = i;
    else
        queueFirst_[1] = i;
    queueLast_[1] = i;
    i->nextActive = i;
}

FlowNode* FlowGraph::nextActiveNode() {
    for (;;) {
        FlowNode* i = queueFirst_[0];
        if (!i) {
            queueFirst_[0] = i = queueFirst_[1];
            queueLast_[0] = queueLast_[1];
            queueFirst_[1] = queueLast_[1] = nullptr;
            if (!i) return nullptr;
        }
        if (i->nextActive == i)
            queueFirst_[0] = queueLast_[0] = nullptr;
        else
            queueFirst_[0] = i->nextActive;
        i->nextActive = nullptr;
        if (i->parent) return i;
    }
}

void FlowGraph::initialise() {
    queueFirst_[0] = queueFirst_[1] = queueLast_[0] = queueLast_[1] = nullptr;
    orphanFirst_ = orphanLast_ = nullptr;
    time_ = 0;
    for (NodeBlock* nb = nodeBlocks_; nb; nb = nb->next) {
        for (FlowNode* i = nb->nodes; i != nb->nextFree; ++i) {
            i->nextActive = nullptr;
            i->timestamp = 0;
            if (i->terminalCap > 0) {
                i->inSinkTree = 0;
                i->parent = kTerminal;
                i->distance = 1;
                setActive(i);
            } else if (i->terminalCap < 0) {
                i->inSinkTree = 1;
                i->parent = kTerminal;
                i->distance = 1;
                setActive(i);
            } else {
                i->parent = 0;
            }
        }
    }
    if (!orphanPool_) orphanPool_ = new (std::nothrow) OrphanPool;
    if (!orphanPool_) fail("Not enough memory!");
}

void FlowGraph::pushOrphanFront(FlowNode* i) {
    OrphanPool& pool = *orphanPool_;
    if (!pool.freeList) {
        OrphanPool::Block* b = static_cast<OrphanPool::Block*>(allocate(sizeof(OrphanPool::Block)));
        b->next = pool.blocks;
        pool.blocks = b;
        for (int k = 0; k < kOrphanBlockSize; ++k) {
            b->records[k].next = pool.freeList;
            pool.freeList = &b->records[k];
        }
    }
    OrphanRecord* r = pool.freeList;
    pool.freeList = r->next;
    r->node = i;
    r->next = orphanFirst_;
    orphanFirst_ = r;
    if (!orphanLast_) orphanLast_ = r;
}

void FlowGraph::pushOrphanBack(FlowNode* i) {
    OrphanRecord* oldLast = orphanLast_;
    OrphanRecord* oldFirst = orphanFirst_;
    orphanFirst_ = nullptr;
    orphanLast_ = nullptr;
    pushOrphanFront(i);
    OrphanRecord* r = orphanFirst_;
    if (oldLast) {
        oldLast->next = r;
        orphanFirst_ = oldFirst;
    }
    orphanLast_ = r;
}

namespace {

// Residual capacity of an arc of i in the direction a tree grows: away from the terminal of the
// source tree, toward the terminal of the sink tree. Out arcs run i -> head, in arcs tail -> i.
template <bool Sink>
inline float& growingCap(FlowArc* a, bool outArc) {
    return (outArc != Sink) ? a->residualCap : a->reverseResidualCap;
}
template <bool Sink>
inline float& backCap(FlowArc* a, bool outArc) {
    return (outArc != Sink) ? a->reverseResidualCap : a->residualCap;
}
// Whether j hangs in the tree of the given side.
template <bool Sink>
inline bool inTree(const FlowNode* j) {
    return j->parent && (j->inSinkTree != 0) == Sink;
}

}  // namespace

bool FlowGraph::grow(FlowNode* i, FlowNode*& sourceEnd, FlowNode*& sinkEnd, float*& middleCap,
                     float*& middleRev) {
    return i->inSinkTree ? growTree<true>(i, sourceEnd, sinkEnd, middleCap, middleRev)
                         : growTree<false>(i, sourceEnd, sinkEnd, middleCap, middleRev);
}

// One growth step of the tree holding i: free neighbours join it, a neighbour of the other tree
// closes a path (its middle arc returned), and shorter parents are taken where the stamps allow.
template <bool Sink>
bool FlowGraph::growTree(FlowNode* i, FlowNode*& sourceEnd, FlowNode*& sinkEnd, float*& middleCap,
                         float*& middleRev) {
    auto visit = [&](FlowNode* j, uintptr_t parentCode, float& cap, float& rev) {
        if (!j->parent) {
            j->inSinkTree = Sink ? 1 : 0;
            j->parent = parentCode;
            j->timestamp = i->timestamp;
            j->distance = i->distance + 1;
            setActive(j);
        } else if ((j->inSinkTree != 0) != Sink) {
            sourceEnd = Sink ? j : i;
            sinkEnd = Sink ? i : j;
            middleCap = &cap;
            middleRev = &rev;
            return true;
        } else if (j->timestamp <= i->timestamp && j->distance > i->distance) {
            j->parent = parentCode;
            j->timestamp = i->timestamp;
            j->distance = i->distance + 1;
        }
        return false;
    };
    FlowArc *b, *e;
    uintptr_t *ib, *ie;
    outRange(i, b, e);
    inRange(i, ib, ie);
    for (FlowArc* a = b; a != e; ++a) {
        if (growingCap<Sink>(a, true) == 0) continue;
        if (visit(headOf(i, a), reinterpret_cast<uintptr_t>(a) | 1, growingCap<Sink>(a, true),
                  backCap<Sink>(a, true)))
            return true;
    }
    for (uintptr_t* en = ib; en != ie; ++en) {
        FlowArc* a = arcPtr(*en);
        if (growingCap<Sink>(a, false) == 0) continue;
        if (visit(tailOf(i, a), reinterpret_cast<uintptr_t>(a), growingCap<Sink>(a, false),
                  backCap<Sink>(a, false)))
            return true;
    }
    return false;
}

void FlowGraph::augment(FlowNode* sourceEnd, FlowNode* sinkEnd, float* middleCap, float* middleRev) {
    // Along each half of the path: the capacity toward the sink end of every arc (down in the
    // source tree, up in the sink tree), and the terminal capacity taken with its sign.
    auto pathCap = [](FlowNode* x, auto sink) -> float& {
        return decltype(sink)::value ? upCap(x) : downCap(x);
    };
    auto otherCap = [](FlowNode* x, auto sink) -> float& {
        return decltype(sink)::value ? downCap(x) : upCap(x);
    };
    auto bottleneckOf = [&](FlowNode* x, float bottleneck, auto sink) {
        for (;;) {
            if (x->parent == kTerminal)
                return std::min(bottleneck, decltype(sink)::value ? -x->terminalCap : x->terminalCap);
            bottleneck = std::min(bottleneck, pathCap(x, sink));
            x = parentNode(x);
        }
    };
    // Pushes the flow along one half; arcs and terminal links that saturate make orphans.
    auto push = [&](FlowNode* x, float amount, auto sink) {
        for (;;) {
            if (x->parent == kTerminal) {
                x->terminalCap -= decltype(sink)::value ? -amount : amount;
                if (x->terminalCap == 0) {
                    x->parent = kOrphan;
                    pushOrphanFront(x);
                }
                return;
            }
            FlowNode* p = parentNode(x);
            float& forward = pathCap(x, sink);
            otherCap(x, sink) += amount;
            forward -= amount;
            if (forward == 0) {
                x->parent = kOrphan;
                pushOrphanFront(x);
            }
            x = p;
        }
    };
    const std::false_type sourceSide;
    const std::true_type sinkSide;
    float bottleneck = bottleneckOf(sourceEnd, *middleCap, sourceSide);
    bottleneck = bottleneckOf(sinkEnd, bottleneck, sinkSide);

    *middleRev += bottleneck;
    *middleCap -= bottleneck;

    push(sourceEnd, bottleneck, sourceSide);
    push(sinkEnd, bottleneck, sinkSide);
    flow_ += bottleneck;
}

namespace {

// Length of j's parent chain to its terminal, using and refreshing the time-stamped distances;
// kInfiniteDistance if the chain ends in an orphan.
inline int chainDepth(FlowNode* j, int32_t time) {
    int d = 0;
    for (FlowNode* k = j;;) {
        if (k->timestamp == time) return d + k->distance;
        uintptr_t p = k->parent;
        ++d;
        if (p == kTerminal) {
            k->timestamp = time;
            k->distance = 1;
            return d;
        }
        if (p == kOrphan) return kInfiniteDistance;
        k = parentNode(k);
    }
}

inline void stampChain(FlowNode* j, int d, int32_t time) {
    for (FlowNode* k = j; k->timestamp != time; k = parentNode(k)) {
        k->timestamp = time;
        k->distance = d--;
    }
}

}  // namespace

// Finds the orphan i a new parent in its own tree: the neighbour with residual capacity toward i
// whose chain to the terminal is shortest. Without one, i leaves the tree; its neighbours in the
// tree become active where they can reach it, and its children become orphans.
template <bool Sink>
void FlowGraph::processOrphan(FlowNode* i) {
    FlowArc *b, *e;
    uintptr_t *ib, *ie;
    outRange(i, b, e);
    inRange(i, ib, ie);
    uintptr_t best = 0;
    int dmin = kInfiniteDistance;
    auto consider = [&](FlowNode* j, uintptr_t parentCode) {
        if (!inTree<Sink>(j)) return;
        int d = chainDepth(j, time_);
        if (d >= kInfiniteDistance) return;
        if (d < dmin) {
            best = parentCode;
            dmin = d;
        }
        stampChain(j, d, time_);
    };
    for (FlowArc* a = b; a != e; ++a)
        if (backCap<Sink>(a, true) != 0) consider(headOf(i, a), reinterpret_cast<uintptr_t>(a));
    for (uintptr_t* en = ib; en != ie; ++en) {
        FlowArc* a = arcPtr(*en);
        if (backCap<Sink>(a, false) != 0) consider(tailOf(i, a), reinterpret_cast<uintptr_t>(a) | 1);
    }
    if (best) {
        i->parent = best;
        i->timestamp = time_;
        i->distance = dmin + 1;
        return;
    }
    i->timestamp = 0;
    i->parent = 0;
    auto release = [&](FlowNode* j, float cap, uintptr_t childCode) {
        if (!inTree<Sink>(j)) return;
        if (cap != 0) setActive(j);
        if (j->parent == childCode) {
            j->parent = kOrphan;
            pushOrphanBack(j);
        }
    };
    for (FlowArc* a = b; a != e; ++a)
        release(headOf(i, a), backCap<Sink>(a, true), reinterpret_cast<uintptr_t>(a) | 1);
    for (uintptr_t* en = ib; en != ie; ++en) {
        FlowArc* a = arcPtr(*en);
        release(tailOf(i, a), backCap<Sink>(a, false), reinterpret_cast<uintptr_t>(a));
    }
}

void FlowGraph::adoptOrphans() {
    // The orphans of one augmentation are taken in list order; each one starts a working list
    // that is processed first-in first-out, new orphans joining at its end.
    OrphanRecord* pending = orphanFirst_;
    orphanFirst_ = orphanLast_ = nullptr;
    while (pending) {
        OrphanRecord* r = pending;
        pending = r->next;
        r->next = nullptr;
        orphanFirst_ = orphanLast_ = r;
        while (orphanFirst_) {
            OrphanRecord* w = orphanFirst_;
            orphanFirst_ = w->next;
            if (!orphanFirst_) orphanLast_ = nullptr;
            FlowNode* i = w->node;
            w->next = orphanPool_->freeList;
            orphanPool_->freeList = w;
            if (i->parent != kOrphan) continue;  // made a root again since it was queued
            if (i->inSinkTree)
                processOrphan<true>(i);
            else
                processOrphan<false>(i);
        }
    }
}

float FlowGraph::computeMaxFlow() {
    if (!converted_) {
        padArcless();
        convertArcs();
    }
    initialise();
    search();
    return flow_;
}

void FlowGraph::search() {
    FlowNode* current = nullptr;
    for (;;) {
        FlowNode* i = current;
        if (i) {
            i->nextActive = nullptr;
            if (!i->parent) i = nullptr;
        }
        if (!i) {
            i = nextActiveNode();
            if (!i) break;
        }
        FlowNode *sourceEnd = nullptr, *sinkEnd = nullptr;
        float *middleCap = nullptr, *middleRev = nullptr;
        bool met = grow(i, sourceEnd, sinkEnd, middleCap, middleRev);
        ++time_;
        if (met) {
            i->nextActive = i;
            current = i;
            augment(sourceEnd, sinkEnd, middleCap, middleRev);
            adoptOrphans();
        } else {
            current = nullptr;
        }
    }
    releaseOrphanPool();
}

void FlowGraph::saveTrees(Trees& out) const {
    out.parent.resize(static_cast<std::size_t>(nodeCount_));
    out.timestamp.resize(out.parent.size());
    out.distance.resize(out.parent.size());
    out.sink.resize(out.parent.size());
    std::size_t k = 0;
    for (NodeBlock* nb = nodeBlocks_; nb; nb = nb->next)
        for (FlowNode* i = nb->nodes; i != nb->nextFree; ++i, ++k) {
            out.parent[k] = i->parent;
            out.timestamp[k] = i->timestamp;
            out.distance[k] = i->distance;
            out.sink[k] = i->inSinkTree;
        }
    out.time = time_;
}

void FlowGraph::restoreTrees(const Trees& in) {
    std::size_t k = 0;
    for (NodeBlock* nb = nodeBlocks_; nb; nb = nb->next)
        for (FlowNode* i = nb->nodes; i != nb->nextFree; ++i, ++k) {
            i->parent = in.parent[k];
            i->timestamp = in.timestamp[k];
            i->distance = in.distance[k];
            i->inSinkTree = in.sink[k];
            i->nextActive = nullptr;
        }
    time_ = in.time;
}

// Every node hanging from i in i's tree becomes an orphan.
void FlowGraph::orphanChildren(FlowNode* i) {
    FlowArc *b, *e;
    uintptr_t *ib, *ie;
    outRange(i, b, e);
    inRange(i, ib, ie);
    auto detach = [&](FlowNode* j, uintptr_t childCode) {
        if (j->parent == childCode && j->inSinkTree == i->inSinkTree) {
            j->parent = kOrphan;
            pushOrphanBack(j);
        }
    };
    for (FlowArc* a = b; a != e; ++a) detach(headOf(i, a), reinterpret_cast<uintptr_t>(a) | 1);
    for (uintptr_t* en = ib; en != ie; ++en) detach(tailOf(i, arcPtr(*en)), *en);
}

float FlowGraph::resumeMaxFlow(const std::vector<Node>& changed) {
    queueFirst_[0] = queueFirst_[1] = queueLast_[0] = queueLast_[1] = nullptr;
    orphanFirst_ = orphanLast_ = nullptr;
    if (!orphanPool_) orphanPool_ = new (std::nothrow) OrphanPool;
    if (!orphanPool_) fail("Not enough memory!");
    ++time_;
    for (FlowNode* i : changed) {
        const float r = i->terminalCap;
        if (r != 0) {
            // A node with terminal residual is a root of that terminal's tree (an orphan queued
            // as a child above is taken out of the queue by that).
            const int16_t side = r > 0 ? 0 : 1;
            if (i->parent && i->inSinkTree != side) orphanChildren(i);
            i->parent = kTerminal;
            i->inSinkTree = side;
            i->timestamp = time_;
            i->distance = 1;
            setActive(i);
            continue;
        }
        if (!i->parent || i->parent == kOrphan) continue;  // free, or queued as a child already
        if (i->parent == kTerminal) {
            i->parent = kOrphan;
            pushOrphanBack(i);
            continue;
        }
        // The arc to the parent must still carry residual in the tree's direction.
        const float towards = i->inSinkTree ? upCap(i) : downCap(i);
        if (towards == 0) {
            i->parent = kOrphan;
            pushOrphanBack(i);
            continue;
        }
        setActive(i);
    }
    // A node that changed tree or residuals may now be reachable from passive nodes around it:
    // those grow again too.
    for (FlowNode* i : changed) {
        FlowArc *b, *e;
        uintptr_t *ib, *ie;
        outRange(i, b, e);
        inRange(i, ib, ie);
        for (FlowArc* a = b; a != e; ++a)
            if (headOf(i, a)->parent) setActive(headOf(i, a));
        for (uintptr_t* en = ib; en != ie; ++en)
            if (tailOf(i, arcPtr(*en))->parent) setActive(tailOf(i, arcPtr(*en)));
    }
    // Orphans are adopted or freed before the search grows the trees again.
    adoptOrphans();
    search();
    return flow_;
}

}  // namespace veltrix
