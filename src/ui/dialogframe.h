#pragma once

class QDialog;
class QWidget;

// The launcher's dialogs draw their own body on a see-through frameless window, with a soft
// shadow around shadowWidget. The shadow is a picture painted under everything, not a graphics
// effect on a widget under the body: such an effect repaints the bounding box of all that
// changed in the body, while the body repaints only what changed, so patches of the effect's
// widget showed through between two buttons whose focus moved, or after a message closed.
void frameDialog(QDialog *dialog, QWidget *shadowWidget);
