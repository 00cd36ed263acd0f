#pragma once
#include <QGLViewer/qglviewer.h>

#include <QString>
#include <QTimer>

#include <mutex>
#include <vector>

#include "spatial/PointSetANN.h"
#include "app/Subject.h"
#include "core/Vec3f.h"

class QAction;
class QActionGroup;
class QMenu;

namespace veltrix {

class Scene;
class ShapeModel;
class CorrespEdit;
class CorrespViewer;
class FeatureViewer;
class ShapeSlicer;
class TransformViewer;

// The main window: a 3-D view of the scene's current source and target shapes, with the pop-up
// menu (space bar), the keyboard commands, point picking (Alt + left button), the dialogs that load
// and simplify shapes, and the launcher of the other windows. It observes the scene: a
// notification only marks the view for redrawing, and the animation timer redraws it.
class Viewer : public QGLViewer, public Observer {
    Q_OBJECT
public:
    // The scene is not owned and must outlive the window.
    explicit Viewer(Scene* scene, QWidget* parent = nullptr);
    ~Viewer() override;

    // Called by the scene; marks the view for redrawing by the animation timer.
    void update(Subject* subject) override;
    using QGLViewer::update;

    // The current shape: frame 0 with "Show All Frames", else the target when it is shown, else
    // the source. Null when there is none.
    ShapeModel* currentShape() const;
    // Position of the shape in the scene's animation, -1 when it is not there.
    int frameIndexOf(const ShapeModel* shape) const;
    // Runs the picked-point query for the picked point P (needs a search object).
    void queryPickedPoint();
    // Alt-picking as the mouse would do it, at widget pixel positions (used by the mouse handlers).
    bool startPick(const QPoint& pixel);
    void dragPick(const QPoint& pixel);
    void endPick(const QPoint& pixel);
    // Moves a tool window that is shown for the first time beside this window: to its right, else
    // below, else to its left, a step down and right from another tool window already there, and
    // within the available screen (shrunk when it is larger).
    void placeBeside(QWidget* window) const;
    // Source vertices that the motion lines start from: evenly spaced through the labelled
    // vertices, at most maxLines of them.
    static std::vector<int> motionLineVertices(const std::vector<int>& labels, int labelCount, int maxLines);
    // The last message shown in the view (kept after it disappears).
    const QString& shownMessage() const { return lastMessage; }

    Scene* scene;

    // ---- pop-up menu ----
    QMenu* fileMenu = nullptr;
    QAction* openSequenceAction = nullptr;
    QAction* addFrameAction = nullptr;
    QAction* simplifyAction = nullptr;
    QAction* batchSimplifyAction = nullptr;
    QAction* sliceShapeAction = nullptr;
    QAction* assignTransformsAction = nullptr;
    QAction* wireframeAction = nullptr;
    QAction* transparencyAction = nullptr;
    QAction* fitViewAction = nullptr;
    QAction* showSourceAction = nullptr;
    QAction* showTargetAction = nullptr;
    QAction* showAllFramesAction = nullptr;
    QAction* showSamplesAction = nullptr;
    QAction* showClusterAction = nullptr;
    QAction* showVerticesAction = nullptr;
    QAction* showVertexFramesAction = nullptr;
    QAction* showMotionLinesAction = nullptr;  // key M; lines from source vertices to where their label moves them
    QActionGroup* displayModeGroup = nullptr;  // the five exclusive display modes
    QAction* showGeometryAction = nullptr;
    QAction* showStatusAction = nullptr;
    QAction* showFeaturesAction = nullptr;
    QAction* showCurvaturesAction = nullptr;
    QAction* showFramesAction = nullptr;
    QAction* showBoundingBoxAction = nullptr;
    QAction* showCorrespAction = nullptr;
    QAction* correspParamsAction = nullptr;
    QAction* alignDistanceAction = nullptr;
    QAction* exportResultAction = nullptr;
    QAction* saveFramesAction = nullptr;
    QAction* captureAction = nullptr;
    QAction* backgroundAction = nullptr;
    QAction* foregroundAction = nullptr;
    QAction* saveColormapAction = nullptr;
    QAction* loadColormapAction = nullptr;
    QAction* colormapRangeAction = nullptr;
    QAction* featureThresholdAction = nullptr;
    QAction* labelColormapAction = nullptr;  // labels in their cluster colours instead of the palette

    // ---- child windows (null while they do not exist) ----
    CorrespViewer* correspViewer = nullptr;
    CorrespEdit* correspEditor = nullptr;
    FeatureViewer* featureViewer = nullptr;
    ShapeSlicer* shapeSlicer = nullptr;
    TransformViewer* transformViewer = nullptr;

    int currentFrame = 0;   // animation frame that the frame keys step through
    int featureIndex = 0;   // feature component and frame scale shown by the display modes
    int frameKind = 1;      // 1 normals, 2 minimum, 3 maximum curvature, 4 both directions
    int pickedVertex = -1;  // source vertex nearest to the last picked point, -1 while none

    // Picking: P the picked surface point, Q the drag point.
    bool dragging = false;
    bool pointPicked = false;  // a surface point has been picked since start
    Vec3f pickP;
    Vec3f pickQ;

    PointSetANN queryPoints;  // source-sample position nearest to the picked point
    PointSetANN matchPoints;  // target-sample positions of its candidate matches

    QString snapshotFormat;   // "PNG" after initialisation
    bool initialised = false; // start-up loading has run

signals:
    void updateChildDisplay();

public slots:
    void open(const char* file, int maxFrames, int skipFrames);
    void open(const char* file, int maxFrames);
    void open(const char* file);
    void open();
    void add();
    void customSaveSnapshot();
    void captureVideo();
    void CreateCorrespViewer();
    void CorrespViewerDestroyed();
    void CreateCorrespEditor();
    void CorrespEditorDestroyed();
    void CorrespEditorChanged(int which, double value);
    void CreateFeatureViewer();
    void updateFeatureViewer();
    void FeatureViewerDestroyed();
    void saveColormap();
    void loadColormap();
    void setColormapLimits();
    void setFeatureThreshold();
    // Writes the current result as PLY shapes, CSV correspondences and a JSON summary into a chosen
    // directory, asking before it replaces files of an earlier export.
    void exportResultFiles();
    void autoLaunch();
    // The automatic mode; false when it ends the session (modes 1 and 3).
    bool autoProcess();
    void saveFrames();
    void simplifyCurrentShape();
    void batchSimplify();
    void fitViewToShape(const ShapeModel* shape);
    void fitViewToShape();
    void changeBackgroundColor();
    void changeForegroundColor();
    void CreateShapeSlicer();
    void ShapeSlicerDestroyed();
    void CreateTransformViewer();
    void TransformViewerDestroyed();
    float ComputeAlignDistance();

protected:
    void init() override;
    void draw() override;
    QString helpString() const override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private slots:
    // Animation timer: redraws when a notification asked for it.
    void redrawIfPending();

    void closeEvent(QCloseEvent* event) override;

private:
    // Deletes the open child windows (only the slicer and the transformation editor, which keep
    // shape pointers, when shapeWindowsOnly is set).
    void closeChildWindows(bool shapeWindowsOnly);
    void buildMenu();
    // Frame stepping (Ctrl+Right / Ctrl+Left) and flipping (F).
    void showCurrentFrame();
    void flipDisplayedModel();
    // Rotates the camera about a world axis through its pivot point.
    void orbitCamera(const qglviewer::Vec& axis, double degrees);
    void distanceCheck();
    void writePickedSpinImage();
    // One shape with the checked display mode, vertex spheres and vertex frames.
    void drawModel(ShapeModel* shape);
    void drawClusterResult();
    void drawMotionLines();
    void drawPicking();
    // Text shown in the view for 2000 ms.
    void showMessage(const QString& text);
    // The same, only when the text differs from the last one, so that a message raised while
    // drawing does not keep requesting new frames.
    void showMessageOnce(const QString& text);

    QTimer animationTimer;
    std::mutex redrawMutex;
    bool redrawPending = false;  // guarded by redrawMutex
    QString lastMessage;
};

}  // namespace veltrix
