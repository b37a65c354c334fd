#pragma once

#include <QList>
#include <QWidget>

#include <memory>

class QCloseEvent;
class QGridLayout;
class QLabel;
class StationBoard;
class TileWidget;

// zorbelstation's window: a header with the firmware and the counts, and a tile per
// port in a grid that fills the screen.
//
// The station runs from the event loop once the window is up, and the window closes
// when the station has ended. Closing the window (or a termination signal, through
// requestEnd()) while writes run takes no new unit, says that the window closes after
// the running writes, and closes when they have ended; a second close stops them at
// once (interrupted). Idle, it closes at once.
class StationWindow : public QWidget
{
    Q_OBJECT

public:
    // The screen the grid is laid out for: 1 to 16 tiles fill it, up to 48 are readable.
    static constexpr int kScreenWidth = 1280;
    static constexpr int kScreenHeight = 800;

    explicit StationWindow(std::unique_ptr<StationBoard> board, QWidget *parent = nullptr);
    ~StationWindow() override;

    StationWindow(const StationWindow &) = delete;
    StationWindow &operator=(const StationWindow &) = delete;

    // Runs the station from the event loop (the window shown first); ended() follows
    // its end.
    void start();
    // Closing, or a termination signal: the first ends the station after its running
    // writes, the second at once.
    void requestEnd();

    StationBoard &board() { return *m_board; }
    int tileCount() const { return static_cast<int>(m_tiles.size()); }
    TileWidget *tile(int index) const { return m_tiles.at(index); }
    // The line under the header that says how the station ends and what the line is to know.
    QString notice() const;
    QString counts() const;

    // Columns of the grid for this many tiles on the screen the window is made for.
    static int columnsFor(int tiles);

signals:
    void ended();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void addTile(int index);
    void placeTiles();
    void showCounts();
    void showNotice();

    std::unique_ptr<StationBoard> m_board;
    QLabel *m_file;  // the file's name and the version it brings
    QLabel *m_image; // what is written: the digest of its blocks and their count
    QLabel *m_counts;
    QLabel *m_notice;
    QGridLayout *m_grid;
    QList<TileWidget *> m_tiles;
    QString m_ending; // what the window says of its end; empty while it watches
    bool m_ended = false;
};
