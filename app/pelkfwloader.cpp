#include "pelkfwloader.h"

#include "modem.h"
#include "portmap.h"

#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLoggingCategory>
#include <QPalette>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>

#include <algorithm>

namespace {
// What the window does on a termination signal (TerminationSignals reports the signal).
Q_LOGGING_CATEGORY(lcSignals, "zorbel.signals")
const char *const kIconFile = "images/zorbelfwloader.ico";
const char *const kCompiledInIcon = ":/images/zorbelfwloader.ico";
// How far a font may be narrowed to fit the captions (percent of its normal width).
constexpr int kNarrowestStretch = 50;

bool captionsFit(const QFont &font, const QList<QPushButton *> &buttons)
{
    const QFontMetrics metrics(font);
    return std::all_of(buttons.cbegin(), buttons.cend(), [&metrics](const QPushButton *button) {
        QStyleOptionButton option;
        option.initFrom(button);
        const QRect room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const QSize text = metrics.size(Qt::TextShowMnemonic, button->text());
        return text.width() <= room.width() && text.height() <= room.height();
    });
}

// The buttons have a fixed size. A wide font family can overflow them near the largest
// size; then the font is narrowed just enough for every caption to fit.
QFont fittingCaptions(QFont font, const QList<QPushButton *> &buttons)
{
    if (captionsFit(font, buttons))
        return font;
    for (int stretch = QFont::Unstretched - 1; stretch >= kNarrowestStretch; --stretch) {
        font.setStretch(stretch);
        if (captionsFit(font, buttons))
            break;
    }
    return font;
}
} // namespace

QIcon PELKfwloader::loaderIcon()
{
    const QString file = QString::fromUtf8(kIconFile);
    return QIcon(QFile::exists(file) ? file : QString::fromUtf8(kCompiledInIcon));
}

PELKfwloader::PELKfwloader()
    : modem(nullptr)
{
    ui.setupUi(this);
    Q_INIT_RESOURCE(zorbelfwloader); // the compiled-in icons live in this library
    setWindowIcon(loaderIcon());

    portMap = std::make_unique<PortMap>();
    modem = std::make_unique<Modem>();
    modem->setPortMap(portMap.get());
    firmwareVersion = 0;

    for (int i = 1; i <= kPortCount; ++i)
        portNames.append(PortMap::comName(i));
    portIndex = 0;

    flashImage.fill(kErasedByte);

    ui.pushButton->setEnabled(false);
    ui.pushButton_2->setEnabled(false);

    scanTimer = new QTimer(this);
    // The scan's intervals are lower bounds; a coarse timer may fire up to 5 % early.
    scanTimer->setTimerType(Qt::PreciseTimer);
    connect(scanTimer, &QTimer::timeout, this, &PELKfwloader::fopentty);

    {
        const int stored = m_fontSetting.stored().value_or(kDefaultFontPixels);
        fontSize = stored < kSmallestFontPixels ? kDefaultFontPixels : std::min(stored, kLargestFontPixels);
    }

    QFont windowFont = font();
    windowFont.setPixelSize(fontSize);
    windowFont.setWeight(QFont::Normal);
    setFont(fittingCaptions(windowFont, {ui.pushButton, ui.pushButton_2, ui.pushButton_3}));

    modem->closeTty();
    modem->setBaudRate(kLineSpeedBaud);

    scanTimer->start(kFirstScanDelayMs);
}

PELKfwloader::~PELKfwloader()
{
    m_fontSetting.store(fontSize);
}

void PELKfwloader::on_pushButton_3_clicked()
{
    close();
}

void PELKfwloader::requestClose()
{
    if (transferRunning && !closeRequested)
        qCInfo(lcSignals) << "closing once the flash write has ended";
    close(); // an open file dialog closes with the window
}

void PELKfwloader::closeIfRequested()
{
    if (m_windowLost) {
        QCoreApplication::quit(); // as Exit ends it
        return;
    }
    if (!closeRequested)
        return;
    closeRequested = false;
    close();
}

void PELKfwloader::closeEvent(QCloseEvent *event)
{
    if (transferRunning) {
        // The write slot closes the window once the transfer has ended.
        closeRequested = true;
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool PELKfwloader::event(QEvent *event)
{
    if (event->type() == QEvent::WinIdChange && !testAttribute(Qt::WA_WState_Created)) {
        m_windowLost = true;
        if (!transferRunning)
            closeIfRequested(); // else the write slot ends the loader once the write has ended
    }
    return QMainWindow::event(event);
}

void PELKfwloader::colourLabel(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setBrush(QPalette::All, QPalette::WindowText, QBrush(colour, Qt::SolidPattern));
    label->setPalette(palette);
}
