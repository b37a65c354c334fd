#pragma once

#include "tilestate.h"

#include <QColor>
#include <QWidget>

// One slot of the station on the screen: its whole background in the colour of its
// state, the label, COM name and adapter at the top, one large word and one line of
// detail, and while it writes a progress bar. Paints the TileState it is given; it is
// painted again only when something it shows has changed.
class TileWidget : public QWidget
{
    Q_OBJECT

public:
    explicit TileWidget(QWidget *parent = nullptr);

    void setState(const TileState &state);
    const TileState &state() const { return m_state; }

    static QColor background(TileState::Role role);
    static QColor foreground(TileState::Role role);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // What a picture of the tile is made of: the same parts, the same picture.
    struct Shown
    {
        QString title;
        QString subtitle;
        QString word;
        QString detail;
        TileState::Role role = TileState::Role::Waiting;
        bool progress = false;
        int done = 0;
        int total = 0;

        bool operator==(const Shown &other) const;
    };

    static Shown shownOf(const TileState &state);

    TileState m_state;
    Shown m_shown;
};
