#pragma once
#include <string>
#include "labeling/LabelingResult.h"
#include "labeling/Pipeline.h"

namespace veltrix {

class Scene;

// Label contacts are measured within this percentage of the unit, and torn beyond the second.
constexpr float kContactPercent = 1.5f, kTearPercent = 6.0f;
// A label's facing is ambiguous when a turned motion carries its vertices on average more than
// this percentage of the unit elsewhere (the accuracy yardstick of the ground-truth report) and
// fits them within the tolerance as closely; labels under the vertex count are not examined. A
// result is flagged when more than kAmbiguousWarning of the source vertices are ambiguous (one
// limb of a character holds about a twentieth).
constexpr float kAmbiguousApartPercent = 2.0f, kAmbiguousTolerance = 0.15f;
constexpr int kAmbiguousMinVertices = 20;
constexpr float kAmbiguousWarning = 0.1f;

// What the automatic mode selected by autoProcessMode did.
struct AutoModeOutcome {
    int mode = 0;             // the autoProcessMode value that ran
    bool succeeded = true;    // false when the mode could not do its job (see failure)
    bool endsProcess = false; // modes 1 and 3: the interactive program ends after them
    bool showResult = false;  // mode 2: a result was loaded for the viewer to show
    bool nothingMatched = false;  // the labelling gives no vertex of either shape a transformation
    std::string failure;      // why the mode could not do its job
};

// Runs the pipeline steps of the automatic mode (1: process and save the result, 2: load the
// result, 3: load the result and append the alignment error to alignDistanceFile; other values:
// nothing) and reports the outcome; never ends the process itself. With stopAtFailure a mode
// stops at its first failure (no empty result is saved, no error line for a missing result is
// appended, and a labelling that puts every vertex on the dummy label is neither saved nor
// measured: nothingMatched); without it the steps run on as the interactive program runs them.
// Without saveResult, mode 1 leaves the result file to the caller (which writes it once the rest
// of its work succeeded).
AutoModeOutcome runAutoModeSteps(Scene& scene, bool stopAtFailure, bool saveResult = true);

// The interactive program's automatic mode: the steps above as the interactive program runs them.
// After modes 1 and 3 (endsProcess) the caller ends the session, with exit code 0 when the mode
// succeeded and 1 when it did not; showResult says whether mode 2 loaded a result to show.
AutoModeOutcome runAutoProcessMode(Scene& scene);

// Maximum symmetric Hausdorff error of the current result in model units, with its console line;
// the largest float when there is no search object.
float alignmentError(Scene& scene);

// Whether the current result carries every part to a place that fits the parts it touches
// (contacts within 1.5 % of the bounding-box diagonal, torn beyond 6 %); not measured without a
// labelling. Also which labels' facing is ambiguous (measureAmbiguity, with the settings above).
// With log, console lines, and a warning when more than kDetachedWarning of the source vertices
// are detached or more than kAmbiguousWarning are ambiguous.
LabelingConfidence labelingConfidence(const Scene& scene, bool log = false);

}  // namespace veltrix
