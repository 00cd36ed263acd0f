#pragma once
#include <QString>
#include <QStringList>

#include <string>

namespace veltrix {

class Scene;

// Pictures of a labelled result, for looking at it without opening the windows: each window is
// opened on the scene, drawn once and saved as PNG.
//   labels-source.png  the correspondence viewer: the source coloured by label (left) and moved by
//                      its labels onto the target (right)
//   labels-target.png  the same for the target's labels, when the result has them
//   motions.png        the main window with both shapes and a line from every few source vertices
//                      to where its label's motion carries it
// An existing file is only replaced with overwrite. Needs the application object and a display.
// Returns an empty string, with the files written in *written, or the reason it stopped.
std::string saveResultPictures(Scene& scene, const QString& dir, bool overwrite, QStringList* written);

// The file names saveResultPictures writes for a result with or without target labels.
QStringList resultPictureNames(bool targetLabels);

}  // namespace veltrix
