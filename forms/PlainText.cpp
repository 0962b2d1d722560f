#include "forms/PlainText.h"

#include "forms/QtStrings.h"

#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPoint>
#include <QRect>
#include <QTextDocument>
#include <QToolTip>

void SetPlainText(QLabel& Label, const QString& Text)
{
    Label.setTextFormat(Qt::PlainText);
    Label.setText(Text);
}

void SetPlainText(QLabel& Label, const std::string& Text)
{
    SetPlainText(Label, ToQ(Text));
}

void SetPlainText(QMessageBox& Box, const std::string& Text)
{
    Box.setTextFormat(Qt::PlainText);
    Box.setText(ToQ(Text));
}

void SetPlainLabelText(QInputDialog& Dialog, const std::string& Prompt)
{
    // The dialog makes its label with the first text it is given, in the
    // automatic format: it gets an empty one first.
    Dialog.setLabelText(QString());
    for (QLabel* Label : Dialog.findChildren<QLabel*>())
        Label->setTextFormat(Qt::PlainText);
    Dialog.setLabelText(ToQ(Prompt));
}

void ShowPlainToolTip(const QPoint& Global, const QString& Text, QWidget* Owner, const QRect& Rect)
{
    if (Text.isEmpty()) {
        QToolTip::hideText();
        return;
    }
    QToolTip::showText(Global, Qt::convertFromPlainText(Text, Qt::WhiteSpaceNoWrap), Owner, Rect);
}
