#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include <QObject>
#include <QString>

class QFrame;
class QListView;
class QMenu;
class QPushButton;
class QWidget;

// Keeps the exchange buttons of the bar under the lists within the bar's
// width: buttons show in list order while they fit whole, and every exchange
// without a button on screen (out of room, or beyond the buttons there are)
// is listed by the overflow button's menu. The bar's own minimum width is
// what stays whatever the count: the leading widgets and the overflow button.
// The bar owns it. GUI thread only.
class ExchangeBarFitter : public QObject
{
public:
    // `lead` are the bar's widgets before the exchange buttons; `overflow`
    // sits after them. `text` gives an exchange's caption, `pick` is called
    // when the menu picks an exchange.
    struct Looks {
        QString chosen;
        QString other;
    };
    ExchangeBarFitter(QWidget* bar, std::vector<QWidget*> lead, QPushButton* overflow, Looks looks,
        std::function<QString(std::size_t)> text, std::function<void(int)> pick);

    // The bar's slots, a separator before each button and one closing them.
    void SetSlots(std::vector<QPushButton*> buttons, std::vector<QFrame*> separators);
    // How many exchanges the list has; slots beyond it stay hidden.
    void SetCount(std::size_t count);
    // The exchange shown as chosen, -1 for none: the overflow button looks
    // chosen while it is one of its entries.
    void SetChosen(int index);
    // Index of the first exchange without a button on screen.
    std::size_t FirstFolded() const { return m_shown; }
    std::size_t Count() const { return m_count; }
    // Shows what fits in the bar's width now.
    void Fit();
    // The overflow menu, filled with the exchanges from FirstFolded on.
    QMenu* OverflowMenu();

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void StyleOverflow();

    QWidget* m_bar;
    std::vector<QWidget*> m_lead;
    QPushButton* m_overflow;
    Looks m_looks;
    std::function<QString(std::size_t)> m_text;
    std::function<void(int)> m_pick;
    std::vector<QPushButton*> m_buttons;
    std::vector<QFrame*> m_separators;
    std::size_t m_count = 0;
    std::size_t m_shown = 0;
    int m_chosen = -1;
    bool m_fitting = false;
    QMenu* m_menu = nullptr;
    QListView* m_list = nullptr;
};
