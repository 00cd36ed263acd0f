#pragma once
#include <QGLViewer/qglviewer.h>

#include <QImage>
#include <QPoint>
#include <QSplitter>
#include <QString>

#include <vector>

#include "app/Subject.h"
#include "core/Vec3f.h"

class QAction;
class QMenu;

namespace veltrix {

class CorrespViewer;
class Scene;
class ShapeModel;
struct RigidTransform;

// One pane of the correspondence viewer: the source shape (side 1) or the target shape (side 2)
// with the search results drawn over it. Both panes look through the source pane's camera.
class CorrespViewerElement : public QGLViewer {
    Q_OBJECT
public:
    // Interaction states of the mouse.
    enum Interaction { NONE = 0, RECTANGLE = 1, DRAGGING = 2, PAIR_ENTRY = 3 };
    // Which transformations of a selection the target pane shows.
    enum TransformKind { PAIR_KIND = 1, CLUSTER_KIND = 2, REGION_KIND = 3 };

    CorrespViewerElement(Scene* scene, CorrespViewer* owner, int side, QWidget* parent = nullptr);

    // The shape this pane shows (scene source or target), or null.
    ShapeModel* shape() const;
    // The selection that picks in this pane fill: in vertex mode the pane's own list of vertex
    // indices, in correspondence-list mode the window's list of entry indices (one entry is a
    // pair, so both panes select the same entries).
    std::vector<int>& pickSelection();
    // Picks at a pixel with a pick region of the given size, as a mouse release would.
    void pickAt(const QPoint& centre, int width, int height);
    // The last message shown in the pane and the text lines of the last draw (line 1 or 2).
    const QString& shownMessage() const { return lastMessage; }
    const QString& textLine(int line) const { return textLines[line == 2 ? 1 : 0]; }
    // Number of transformations of the selection drawn by the last draw (target pane).
    int shownTransformCount() const { return transformsDrawn; }

    Scene* scene;
    CorrespViewer* viewer;
    int side;  // 1 source, 2 target

    int interaction = NONE;
    QPoint rectangleCorner;  // press corner (widget pixels)
    QPoint rectangleEnd;     // current corner
    int transformKind = PAIR_KIND;
    int subsetSize = 10;   // >= 1
    int subsetStart = 0;   // >= 0
    int subsetTotal = 0;   // length of the transformation list of the last draw
    static const int pickThreshold = 3;  // pick regions narrower than this use the nearest hit only

    QMenu* menu = nullptr;
    QAction* titleAction = nullptr;
    QAction* saveCorrespAction = nullptr;
    QAction* loadCorrespAction = nullptr;
    QAction* clearCorrespAction = nullptr;
    QAction* showModelsAction = nullptr;
    QAction* showClusterMembersAction = nullptr;
    QAction* showVerifiedRegionsAction = nullptr;
    QAction* showResultAction = nullptr;
    QAction* switchDirectionAction = nullptr;
    QAction* showSmoothnessEdgesAction = nullptr;
    QAction* showResultAsPointsAction = nullptr;
    QAction* switchSelectModeAction = nullptr;
    QAction* saveResultAction = nullptr;
    QAction* loadResultAction = nullptr;
    QAction* screenshotAction = nullptr;

public slots:
    // Redraws the pane (the window's updateViews() lands here).
    void updateDisplay();
    void saveCorrespondences();
    void loadCorrespondences();
    void clearCorrespondences();
    void switchCorrespViewType();
    void DisplayCorrespondenceResult(bool show);
    void loadCorrespResult();
    void saveCorrespResult();
    // Saves the whole window as an image: with a prompt for the file name, or under the result
    // file's name with ".data" replaced by "_shot.png". An existing file is never overwritten.
    void saveScreenshot(bool promptFile);
    void saveScreenshot();

protected:
    void init() override;
    void preDraw() override;
    void draw() override;
    void drawWithNames() override;
    void beginSelection(const QPoint& point) override;
    void endSelection(const QPoint& point) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildMenu();
    // The camera is shared by panes of possibly different sizes: give it this pane's size
    // before projecting anything.
    void syncCameraToPane();
    void drawModels();
    void drawSelectionTransforms();
    void drawLabelling();
    void drawLabellingAsPoints(const ShapeModel& labelled, const std::vector<int>& labels, bool ownPane,
                               const std::vector<RigidTransform>& transforms);
    void drawLabellingAsTriangles(const ShapeModel& labelled, const std::vector<int>& labels, bool ownPane,
                                  const std::vector<RigidTransform>& transforms);
    void drawVerifiedRegions();
    void drawClusterMembers();
    void drawSmoothnessEdges();
    void drawSelectionRectangle();
    void drawPendingPoint();
    void drawTextLines();
    void ensureClusterColors(int count);
    void showMessage(const QString& text);
    // Surface point under a pixel; false over the background.
    bool surfacePointAt(const QPoint& pixel, Vec3f& point);
    // Moves this pane's side of the dragged correspondence-list entry to the surface under the pixel.
    void dragTo(const QPoint& pixel);
    // Takes the surface point under the pixel as this pane's half of the pair being entered.
    void enterPairPoint(const QPoint& pixel);

    QString lastMessage;
    QString textLines[2];
    int transformsDrawn = 0;
    int pickWidth = 1, pickHeight = 1;
};

// The correspondence viewer: the source pane and the target pane side by side with one camera.
// It shows what the correspondence search produced, edits the scene's correspondence list, and
// saves and loads graph-cut results. It observes the scene and deletes itself when closed.
class CorrespViewer : public QSplitter, public Observer {
    Q_OBJECT
public:
    // The scene is not owned and must outlive the window.
    explicit CorrespViewer(Scene* scene, QWidget* parent = nullptr);
    ~CorrespViewer() override;

    // Called by the scene: marks the window as updated and redraws both panes.
    void update(Subject* subject) override;
    using QSplitter::update;

    // In both panes, checks "Show Motion Clustering Result" = show and "Show Models" = !show.
    void DisplayCorrespondenceResult(bool show);
    // Empties the scene's correspondence list (if it exists) and the source selection.
    void clearCorrespondences();
    // Forgets a pair being entered: both pending points and the pair-entry state of both panes.
    void cancelPendingPair();
    // True while half of a point pair has been entered or a pane waits for one.
    bool pairPending() const;
    // The window as it looks: both panes' renderings, text included, where they sit.
    QImage picture();

    Scene* scene;
    CorrespViewerElement* sourcePane = nullptr;  // pane 1
    CorrespViewerElement* targetPane = nullptr;  // pane 2
    qglviewer::Camera* targetCamera = nullptr;   // the target pane's own camera, unused meanwhile

    int selectMode = 1;  // 1 shape vertices, 2 correspondence-list entries
    std::vector<int> sourceSelection;
    std::vector<int> targetSelection;
    Vec3f pendingSourcePoint;
    bool hasPendingSourcePoint = false;
    Vec3f pendingTargetPoint;
    bool hasPendingTargetPoint = false;
    int correspDirection = 1;  // 1 source to target, 2 target to source
    bool updated = false;      // a scene notification arrived

signals:
    void updateViews();

public slots:
    // Toggles between picking vertices and picking correspondence-list entries; both selections
    // are cleared because their indices change meaning.
    void SwitchSelectMode();
    // Redraws both panes (the main viewer's child-display signal lands here).
    void updateDisplay();
};

}  // namespace veltrix
