// zorbelstation's window: the header, the tiles, and how the station ends.

#include "stationwindow.h"

#include "stationboard.h"
#include "stationmode.h"
#include "tilewidget.h"
#include "versionreply.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// The digits of the firmware's SHA-256 the header shows: enough to tell files apart.
constexpr int kShortShaDigits = 12;
constexpr int kHeaderPx = 100;       // of the screen's height, taken by the header
constexpr double kTileAspect = 1.5;  // width to height of a tile, when the grid can choose
constexpr int kFileFontPx = 26;
constexpr int kImageFontPx = 18;
constexpr int kCountsFontPx = 30;
constexpr int kNoticeFontPx = 22;
constexpr int kSpacingPx = 8;
constexpr int kMarginPx = 10;

QLabel *headerLabel(QWidget *parent, const QString &name, int pixelSize, bool bold)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    // A long file name is cut at the window's edge rather than widening the window.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

} // namespace

StationWindow::StationWindow(std::unique_ptr<StationBoard> board, QWidget *parent)
    : QWidget(parent)
    , m_board(std::move(board))
    , m_file(headerLabel(this, QStringLiteral("file"), kFileFontPx, true))
    , m_image(headerLabel(this, QStringLiteral("image"), kImageFontPx, false))
    , m_counts(headerLabel(this, QStringLiteral("counts"), kCountsFontPx, true))
    , m_notice(headerLabel(this, QStringLiteral("notice"), kNoticeFontPx, true))
    , m_grid(new QGridLayout)
{
    setWindowTitle(QStringLiteral("zorbelstation"));
    const FirmwareFile &firmware = m_board->firmware();
    const int blocks = firmware.blocksToSend();
    m_file->setText(QStringLiteral("%1    expected V%2")
                        .arg(QFileInfo(firmware.path()).fileName(),
                             VersionReply::versionText(m_board->expectedVersion())));
    m_image->setText(QStringLiteral("sha256 %1    %2 blocks")
                         .arg(QString::fromLatin1(firmware.blockDataSha256(blocks).left(kShortShaDigits)))
                         .arg(blocks));
    m_counts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_counts->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_notice->setWordWrap(true);
    m_notice->setAutoFillBackground(true);
    QPalette palette = m_notice->palette();
    palette.setColor(QPalette::Window, TileWidget::background(TileState::Role::Restarting));
    palette.setColor(QPalette::WindowText, TileWidget::foreground(TileState::Role::Restarting));
    m_notice->setPalette(palette);

    auto *header = new QGridLayout;
    header->addWidget(m_file, 0, 0);
    header->addWidget(m_image, 1, 0);
    header->addWidget(m_counts, 0, 1, 2, 1);
    header->setColumnStretch(0, 1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(kMarginPx, kMarginPx, kMarginPx, kMarginPx);
    layout->setSpacing(kSpacingPx);
    layout->addLayout(header);
    layout->addWidget(m_notice);
    layout->addLayout(m_grid, 1);
    m_grid->setSpacing(kSpacingPx);

    for (int index = 0; index < m_board->tileCount(); ++index)
        addTile(index);
    placeTiles();
    connect(m_board.get(), &StationBoard::tileAdded, this, [this](int index) {
        addTile(index);
        placeTiles();
    });
    connect(m_board.get(), &StationBoard::tileChanged, this,
            [this](int index) { m_tiles.at(index)->setState(m_board->tile(index)); });
    connect(m_board.get(), &StationBoard::countsChanged, this, &StationWindow::showCounts);
    connect(m_board.get(), &StationBoard::noticesChanged, this, &StationWindow::showNotice);
    showCounts();
    showNotice();
    resize(kScreenWidth, kScreenHeight);
}

StationWindow::~StationWindow() = default;

int StationWindow::columnsFor(int tiles)
{
    // The columns that give the largest tile of about kTileAspect.
    const double width = kScreenWidth;
    const double height = kScreenHeight - kHeaderPx;
    int best = 1;
    double bestSize = 0;
    for (int columns = 1; columns <= std::max(tiles, 1); ++columns) {
        const int rows = (tiles + columns - 1) / columns;
        const double size = std::min(width / columns / kTileAspect, height / std::max(rows, 1));
        if (size > bestSize) {
            bestSize = size;
            best = columns;
        }
    }
    return best;
}

void StationWindow::addTile(int index)
{
    auto *widget = new TileWidget(this);
    widget->setObjectName(QStringLiteral("tile%1").arg(index + 1));
    widget->setState(m_board->tile(index));
    m_tiles.append(widget);
}

void StationWindow::placeTiles()
{
    const int columns = columnsFor(static_cast<int>(m_tiles.size()));
    for (int index = 0; index < m_tiles.size(); ++index) {
        m_grid->removeWidget(m_tiles.at(index));
        m_grid->addWidget(m_tiles.at(index), index / columns, index % columns);
    }
    const int rows = (static_cast<int>(m_tiles.size()) + columns - 1) / columns;
    for (int column = 0; column < columns; ++column)
        m_grid->setColumnStretch(column, 1);
    for (int row = 0; row < rows; ++row)
        m_grid->setRowStretch(row, 1);
}

void StationWindow::start()
{
    // StationMode::run() turns the event loop until the station has ended.
    QTimer::singleShot(0, this, [this] {
        m_board->station().run();
        m_ended = true;
        close();
        emit ended();
    });
}

void StationWindow::requestEnd()
{
    StationMode &station = m_board->station();
    switch (station.state()) {
    case StationMode::State::Ready:
    case StationMode::State::Watching:
        station.finishWrites();
        if (station.state() == StationMode::State::Draining)
            m_ending = QStringLiteral("Closing after the running writes: no new unit is taken. "
                                      "Close again to stop them now (those units must be written again).");
        break;
    case StationMode::State::Draining:
        m_ending = QStringLiteral("Stopping the running writes: write those units again.");
        station.stop();
        break;
    case StationMode::State::Stopping:
    case StationMode::State::Finished:
        break;
    }
    showNotice();
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (m_ended) {
        event->accept();
        return;
    }
    // The window goes once the station has ended (start()).
    event->ignore();
    requestEnd();
}

QString StationWindow::counts() const
{
    return m_counts->text();
}

QString StationWindow::notice() const
{
    return m_notice->text();
}

void StationWindow::showCounts()
{
    QString text = QStringLiteral("written %1    failed %2").arg(m_board->writtenCount()).arg(m_board->failedCount());
    if (m_board->currentCount() > 0)
        text += QStringLiteral("    current %1").arg(m_board->currentCount());
    m_counts->setText(text);
}

void StationWindow::showNotice()
{
    QStringList lines = m_board->notices();
    if (!m_ending.isEmpty())
        lines.prepend(m_ending);
    m_notice->setText(lines.join(QLatin1Char('\n')));
    m_notice->setVisible(!lines.isEmpty());
}
