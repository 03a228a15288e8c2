#pragma once

#include <string>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

// Answers the modal message boxes the code under test opens, as a user
// pressing OK would, and keeps what each one said. Boxes are looked for on a
// short timer, which runs inside the box's own event loop.
class BoxWatcher
{
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    BoxWatcher()
    {
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Answer(); });
        m_timer.start();
    }

    const std::vector<Box>& Boxes() const { return m_boxes; }
    void Clear() { m_boxes.clear(); }

    // "title|text" of every box so far, for compact comparisons.
    std::vector<std::string> Seen() const
    {
        std::vector<std::string> out;
        for (const Box& b : m_boxes)
            out.push_back((b.title + "|" + b.text).toStdString());
        return out;
    }

private:
    void Answer()
    {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || box->property("answered").toBool())
                continue;
            box->setProperty("answered", true);
            m_boxes.push_back({ box->windowTitle(), box->text(), box->icon() });
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            if (ok)
                ok->click();
            else
                box->accept();
        }
    }

    QTimer m_timer;
    std::vector<Box> m_boxes;
};
