#pragma once

class QDialog;
class QGraphicsDropShadowEffect;
class QWidget;

// The launcher's dialogs draw their own rounded body on a see-through frameless window, with a
// soft shadow around shadowWidget. Returns the shadow, owned by the dialog.
QGraphicsDropShadowEffect *frameDialog(QDialog *dialog, QWidget *shadowWidget);
