#pragma once
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace veltrix {

// s-t graph with float capacities solved by the two-search-tree augmenting-path method.
// Value 0 of a variable (node) means it ends on the source side of the minimum cut.
// The graph is built once, solved by computeMaxFlow() and then read with isSourceSide(); reset()
// empties it for the next graph and keeps its memory blocks for reuse. A graph can also be solved
// again after its residual capacities were changed in place (see finishArcs()): the flow already
// found is kept, and only what the changes opened is augmented.

struct FlowArc;

struct FlowNode {
    // Before conversion: count of arcs with this node as tail. After: tagged pointer to its first
    // outgoing arc (bit 0 set: the first slot of the range holds the end address instead).
    uintptr_t firstOut;
    // The same for the incoming-arc entries.
    uintptr_t firstIn;
    // 0 free, 1 attached to its terminal, 2 orphan, even = own outgoing arc towards the parent,
    // odd = (arc ending here) + 1, whose tail is the parent.
    uintptr_t parent;
    FlowNode* nextActive;  // active-queue link; null = not queued; the last node links to itself
    int32_t timestamp;     // time at which distance was last known to be valid
    int32_t distance;      // arcs to the terminal along the parent chain
    int16_t inSinkTree;    // 0 source tree, 1 sink tree (meaningful only while parent is set)
    float terminalCap;     // > 0: residual source->node; < 0: minus the residual node->sink
};

// One arc serves both directions of an edge. headOffset is the byte distance from the tail node
// to the head node (pointer-sized because node blocks are separate allocations); before conversion
// it holds the head node's address.
struct FlowArc {
    intptr_t headOffset;
    float residualCap;         // tail -> head
    float reverseResidualCap;  // head -> tail
};

// Thrown when the graph cannot grow (memory exhaustion); what() is a fixed message.
class FlowGraphError : public std::runtime_error {
public:
    explicit FlowGraphError(const char* message) : std::runtime_error(message) {}
};

class FlowGraph {
public:
    typedef FlowNode* Node;
    typedef void (*ErrorFunction)(const char* message);

    FlowGraph();
    ~FlowGraph();
    FlowGraph(const FlowGraph&) = delete;
    FlowGraph& operator=(const FlowGraph&) = delete;

    Node addNode();
    // Adds the arc from->to with capacity cap and the reverse capacity revCap; returns its index,
    // the count of arcs added before it.
    long addEdge(Node from, Node to, float cap, float revCap);
    // Adds capacities to both terminal arcs; the common part becomes constant flow.
    void addTerminalCaps(Node node, float capSource, float capSink);
    // Energy term over two variables; requires E00 + E11 <= E01 + E10.
    void addPairTerm(Node x, Node y, float E00, float E01, float E10, float E11);
    // How addPairTerm splits such a term beyond the terminal capacities (E11, E00) it gives x: the
    // further terminal capacities of x and y and the arc x->y.
    struct PairSplit {
        float xSource, xSink, ySource, ySink, cap, revCap;
    };
    static PairSplit splitPairTerm(float E00, float E01, float E10, float E11);
    // Solves and returns the total flow, which equals the minimum cut cost including the
    // constants accumulated by addTerminalCaps.
    float computeMaxFlow();
    bool isSourceSide(Node node) const;

    // For solving the same graph again with other capacities: finishArcs() ends the building (no
    // arcs can be added afterwards) and keeps a table from arc index to arc. The residuals are then
    // read and written in place; a node's terminal residual is > 0 towards the source, < 0 towards
    // the sink. Writes must leave every residual >= 0, and the next computeMaxFlow() continues from
    // the flow they describe.
    void finishArcs();
    float terminalResidual(Node node) const { return node->terminalCap; }
    void setTerminalResidual(Node node, float residual) { node->terminalCap = residual; }
    void arcResiduals(long arc, float& forward, float& reverse) const;
    void setArcResiduals(long arc, float forward, float reverse);
    // The search trees a solve leaves, for a caller that keeps several flows in one graph and
    // puts each back with its residuals.
    struct Trees {
        std::vector<uintptr_t> parent;
        std::vector<int32_t> timestamp, distance;
        std::vector<int16_t> sink;
        int32_t time = 0;
    };
    void saveTrees(Trees& out) const;
    void restoreTrees(const Trees& in);
    // Continues a solve whose trees are in place (as it left them, or restored with its
    // residuals) after the residuals of the `changed` nodes and of arcs between two of them were
    // written: only those nodes are examined again, and the search goes on from them.
    float resumeMaxFlow(const std::vector<Node>& changed);
    // Forgets all nodes and arcs (their handles become invalid). The storage blocks are kept and
    // handed out again, so a series of graphs of similar size allocates memory only once.
    void reset();

    // Called with the message before FlowGraphError is thrown on memory exhaustion. Without a
    // callback the message goes to the log's error stream.
    void setErrorCallback(ErrorFunction fn) { errorFunction_ = fn; }

    // Number of nodes added so far (including the two padding nodes of an arc-less graph).
    int nodeCount() const { return nodeCount_; }
    // Current accumulated flow (the constant part before computeMaxFlow()).
    float flow() const { return flow_; }

private:
    struct NodeBlock;
    struct ArcBlock;
    struct InBlock;
    struct OrphanRecord;
    struct OrphanPool;

    [[noreturn]] void fail(const char* message);
    void* allocate(std::size_t bytes);
    // Storage blocks of the standard sizes come from the spare lists when they hold one.
    NodeBlock* takeNodeBlock();
    ArcBlock* takeArcBlock(int capacity);
    InBlock* takeInBlock(int capacity);
    void releaseArcBlock(ArcBlock* b);
    void releaseInBlock(InBlock* b);
    static int spareKind(int capacity);
    template <class Block, class Slot>
    Block* takeBlock(Block* (&spare)[2], int capacity);
    template <class Block>
    void releaseBlock(Block* (&spare)[2], Block* b);
    void freeAll();
    void releaseOrphanPool();
    void padArcless();
    void convertArcs();
    void initialise();
    void setActive(FlowNode* i);
    void search();
    void orphanChildren(FlowNode* i);
    FlowNode* nextActiveNode();
    bool grow(FlowNode* i, FlowNode*& sourceEnd, FlowNode*& sinkEnd, float*& middleCap,
              float*& middleRev);
    template <bool Sink>
    bool growTree(FlowNode* i, FlowNode*& sourceEnd, FlowNode*& sinkEnd, float*& middleCap,
                  float*& middleRev);
    void augment(FlowNode* sourceEnd, FlowNode* sinkEnd, float* middleCap, float* middleRev);
    void adoptOrphans();
    template <bool Sink>
    void processOrphan(FlowNode* i);
    void pushOrphanFront(FlowNode* i);
    void pushOrphanBack(FlowNode* i);

    NodeBlock* nodeBlocks_ = nullptr;   // chained newest first
    ArcBlock* arcBlocks_ = nullptr;     // forward arcs (pre-conversion: appended, newest first)
    InBlock* inBlocks_ = nullptr;       // incoming entries, parallel to arcBlocks_ before conversion
    OrphanPool* orphanPool_ = nullptr;  // exists only during computeMaxFlow()
    NodeBlock* spareNodes_ = nullptr;   // blocks kept by reset() and conversion for reuse
    ArcBlock* spareArcs_[2] = {nullptr, nullptr};  // of the build size, of the converted size
    InBlock* spareIns_[2] = {nullptr, nullptr};
    ErrorFunction errorFunction_ = nullptr;
    float flow_ = 0.0f;
    FlowNode* queueFirst_[2] = {nullptr, nullptr};
    FlowNode* queueLast_[2] = {nullptr, nullptr};
    OrphanRecord* orphanFirst_ = nullptr;
    OrphanRecord* orphanLast_ = nullptr;
    int32_t time_ = 0;
    int nodeCount_ = 0;
    long arcCount_ = 0;
    bool converted_ = false;
    bool indexArcs_ = false;
    FlowArc** arcAt_ = nullptr;  // arc by index, after finishArcs()
};

}  // namespace veltrix
