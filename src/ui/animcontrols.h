#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QObject>
#include <QPointer>

class QPushButton;

// Drives a push button: colours that fade on hover, dimmed while disabled.
class AnimBgButton : public QObject
{
    Q_OBJECT

public:
    explicit AnimBgButton(QPushButton *target);

    void setEnabled(bool enabled);

private:
    QPointer<QPushButton> target;
};

// Text drawn at a multiple of its size and scaled down smoothly, inside a placeholder label.
class CustomLabel : public QLabel
{
    Q_OBJECT

public:
    CustomLabel(QLabel *placeholder, double factor);

    void setLabelText(const QString &text);
    void setLabelFont(const QFont &font);
    void setLabelColor(const QColor &color);
    void setLabelAlignment(Qt::Alignment alignment);
    void setAutoRedraw(bool on);
    void draw();
    QString labelText() const { return text; }

private:
    QString text = QStringLiteral("Text");
    QFont font = QFont(QStringLiteral("Arial"), 12);
    QColor color = QColor(255, 0, 0, 255);
    Qt::Alignment alignment = Qt::AlignCenter;
    bool autoRedraw = true;
    double factor;
};
