#pragma once
#include <cstdint>
#include <memory>
#include <utility>
#include <random>
#include <stdexcept>
#include <vector>

// Multi-label energy minimisation by graph-cut moves (alpha-expansion and alpha-beta swap):
//   E(f) = sum_s D(s, f_s) + sum over neighbour pairs {s, n} of w_sn * V(s, n, f_s, f_n)
//          + sum over the labels l that some site keeps of h_l   (label costs, 0 unless set).
// Each move is one minimum cut in a FlowGraph. Energies and weights are floats.

#include "graphcut/FlowGraph.h"

namespace veltrix {

// Thrown on a precondition failure or when memory runs out; what() is a fixed message.
class OptimizerException : public std::runtime_error {
public:
    explicit OptimizerException(const char* message) : std::runtime_error(message) {}
};

class MultiLabelOptimizer {
public:
    typedef float (*DataCostFn)(int site, int label, void* user);
    typedef float (*SmoothCostFn)(int site1, int site2, int label1, int label2, void* user);

    MultiLabelOptimizer(int numSites, int numLabels);
    virtual ~MultiLabelOptimizer();
    MultiLabelOptimizer(const MultiLabelOptimizer&) = delete;
    MultiLabelOptimizer& operator=(const MultiLabelOptimizer&) = delete;

    // Neighbours of a site: count, indices and weights (arrays owned by the optimiser).
    virtual void neighbourInfo(int site, int* count, const int** indices, const float** weights) = 0;
    // Throws unless both terms are set; returns true when the optimiser can run.
    virtual bool checkReady();

    void setDataCostFunction(DataCostFn fn, void* user);
    void setSmoothCostFunction(SmoothCostFn fn, void* user);

    float computeEnergy();
    float dataEnergy();
    float smoothnessEnergy();

    // Cycles of moves until a cycle brings no improvement (that cycle counted) or maxCycles
    // cycles have run; returns the final energy.
    float runExpansion(int maxCycles);
    float runSwap(int maxCycles);
    // One expansion move on label alpha.
    void expandLabel(int alpha);
    // One swap move between labels alpha < beta.
    void swapLabels(int alpha, int beta);
    // With a random label order every cycle first shuffles labelOrder with the optimiser's own
    // generator (seeded with 1 at construction, or with setLabelOrderSeed); no global state.
    void setRandomLabelOrder(bool on) { randomLabelOrder = on; }
    void setLabelOrderSeed(uint32_t seed) { labelOrderRandom_.seed(seed); }
    // Within runExpansion, each label's move starts from the residual graph of that label's
    // previous move: only the terms of sites whose label changed since, and of their neighbours,
    // are evaluated again, and only their capacities change. The cut is a minimum cut of the same
    // graph as a fresh move's; it may differ from the fresh one where two cuts tie to within
    // rounding. Off by default.
    // Moves with label costs build a fresh graph per move: the flow of an earlier move is not reused.
    void setReuseFlows(bool on) { reuseFlows_ = on; }
    // h_l per label (missing entries 0). An expansion move minimises them exactly: each label the
    // move could remove, and alpha when no site has it yet, gets an extra node in the move's graph
    // that pays the label's cost only if some site keeps (takes) it. Swap moves ignore them; the
    // energies reported always include them.
    void setLabelCosts(std::vector<float> costs) { labelCosts_ = std::move(costs); }
    // Sum of the costs of the labels the current labelling uses.
    double labelCostEnergy() const;

    // Pairwise terms of the moves so far that were not regular and had to be raised before they
    // reached the max-flow graph.
    long nonRegularTermCount() const { return nonRegularTerms_; }

    int numLabels;
    int numSites;
    std::vector<int> labeling;        // current label per site; read directly by callers
    std::vector<int> siteToVariable;  // node index during a move, -1 otherwise
    std::vector<int> labelOrder;      // order of labels in a cycle
    bool randomLabelOrder = false;

private:
    std::minstd_rand labelOrderRandom_{1};

    struct DataTerm {
        DataCostFn fn;
        void* user;
    };
    struct SmoothTerm {
        SmoothCostFn fn;
        void* user;
    };

    void scrambleLabelOrder();
    double exactEnergy();
    // exactEnergy() while cycles run: the terms of sites whose label is unchanged since the last
    // sum are kept and only the others evaluated again; the sum runs over the same values in the
    // same order.
    double termCachedEnergy();
    // Calls f(entry, neighbour, weight) for every neighbour entry of the site whose neighbour has a
    // lower index: each pair once.
    template <class F>
    void forLowerNeighbours(int site, F f) {
        forNeighbours(site, [&](int k, int n, float w) {
            if (n < site) f(k, n, w);
        });
    }
    // Calls f(entry, neighbour, weight) for every neighbour entry of the site.
    template <class F>
    void forNeighbours(int site, F f) {
        int count;
        const int* idx;
        const float* w;
        neighbourInfo(site, &count, &idx, &w);
        for (int k = 0; k < count; ++k) f(k, idx[k], w[k]);
    }
    float runCycles(int maxCycles, bool expansion);
    double expansionCycle();
    double swapCycle();
    void moveGuard(const std::vector<int>& before, double energyBefore);
    // exactEnergy() of the current labelling, taken from the last value computed for it while
    // cycles run (no other code changes the labels then).
    double currentEnergy();
    // After a move: whether a label changed. Unchanged labels keep the known energy.
    void movedLabels(bool changed);
    // The graph of the next move, emptied; one graph serves all moves so its memory is reused.
    FlowGraph& moveGraph();
    // After the cut of an expansion move: the variables on the source side take alpha, then the
    // bookkeeping of a changed labelling and the guard of a move with raised terms.
    void applyExpansionCut(int alpha, const std::vector<int>& sites, const std::vector<FlowNode*>& nodes,
                           const FlowGraph& g, bool truncated);
    // The expansion move on alpha in the graph over all sites that flow-reusing moves share.
    void expandReusingFlow(int alpha, const std::vector<int>& sites);
    void buildSharedGraph();

    bool hasLabelCosts() const;
    // Adds the label-cost nodes of an expansion move on alpha to its graph (see setLabelCosts).
    void addLabelCostNodes(FlowGraph& g, int alpha, const std::vector<int>& sites,
                           const std::vector<FlowNode*>& nodes);

    std::vector<float> labelCosts_;
    DataTerm* dataTerm_ = nullptr;
    SmoothTerm* smoothTerm_ = nullptr;
    long nonRegularTerms_ = 0;
    std::unique_ptr<FlowGraph> graph_;
    bool inCycles_ = false;
    // Terms of the last sum while cycles run: labels then, data term per site, and w * V per
    // neighbour entry at termOffset_[site] (entries with the neighbour below the site).
    std::vector<int> termLabels_;
    std::vector<float> dataTerms_;
    std::vector<float> pairTerms_;
    std::vector<long> termOffset_;
    std::vector<char> termStale_;
    bool energyKnown_ = false;
    double knownEnergy_ = 0;
    // Count of label changes while cycles run, and per label the count at which its last
    // expansion changed nothing (-1 none).
    long labelVersion_ = 0;
    std::vector<long> unchangedSince_;
    // Term values of the current move, and where each variable's values begin.
    std::vector<float> moveTerms_;
    std::vector<std::size_t> moveTermOffset_;

    // Flow-reusing moves. The shared graph has a node per site and an arc per neighbour pair,
    // from the higher site to the lower, in the order of the sites' lower neighbour entries.
    bool reuseFlows_ = false;
    std::unique_ptr<FlowGraph> sharedGraph_;
    std::vector<FlowNode*> sharedNodes_;
    long sharedArcs_ = 0;            // arcs of the shared graph
    std::vector<long> entryArc_;     // per neighbour entry, the arc of its pair
    std::vector<long> entryOffset_;  // per site, where its entries begin in entryArc_
    // Per label: the labelling its last move was built on, the residuals its flow left (terminal
    // per site, forward and reverse per arc) and the count of raised pair terms in that graph.
    struct LabelFlow {
        std::vector<int> labels;
        std::vector<float> terminal, arcs;
        long raised = 0;
        FlowGraph::Trees trees;  // the search trees its flow left; empty before its first move
    };
    std::vector<LabelFlow> labelFlows_;
    // What one neighbour pair adds to a move on alpha: its arc (higher site -> lower) and its
    // shares of the two sites' terminal capacities (source minus sink), as a fresh move builds
    // them; `raised` when the term had to be made regular.
    struct PairPart {
        float cap = 0, revCap = 0, hiTerminal = 0, loTerminal = 0;
        bool raised = false;
    };
    static PairPart pairPart(SmoothCostFn V, void* vu, int hi, int lo, float w, int lhi, int llo, int alpha);
    // A pair with a changed site: its arc, sites and weight, and the change of its part.
    struct PairChange {
        long arc;
        int hi, lo;
        float w;
        float cap, revCap, hiTerminal, loTerminal;
        int raised;
    };
    // Work lists of a flow-reusing move, kept between moves so that their memory is reused.
    std::vector<int> dirtySites_;
    std::vector<char> dirtyFlag_;
    std::vector<float> dataChange_;
    std::vector<PairChange> pairChanges_;
    std::vector<char> touched_;
    std::vector<FlowNode*> touchedNodes_;
};

// Optimiser over an arbitrary weighted neighbourhood graph given pair by pair.
class GeneralGraphOptimizer : public MultiLabelOptimizer {
public:
    GeneralGraphOptimizer(int numSites, int numLabels);
    ~GeneralGraphOptimizer() override;

    // Adds the unordered pair once; it is stored in both directions.
    void addNeighbourPair(int site1, int site2, float weight);
    void neighbourInfo(int site, int* count, const int** indices, const float** weights) override;
    bool checkReady() override;

private:
    struct NeighbourRecord {
        int neighbour;
        float weight;
    };
    // Growable list of records in blocks of 4, newest block at the head.
    struct NeighbourBlock {
        NeighbourRecord records[4];
        int count;
        NeighbourBlock* next;
    };

    void convertNeighbours();
    void releasePending();
    void push(int site, int neighbour, float weight);

    std::vector<NeighbourBlock*> pendingNeighbours;
    bool needConversion = true;
    std::vector<int> numNeighbours;
    std::vector<int*> neighbourIndex;
    std::vector<float*> neighbourWeight;
    bool ownsNeighbourArrays = true;
};

}  // namespace veltrix
