#include "pelkfwloader.h"

#include "modem.h"

#include <QCloseEvent>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QSettings>
#include <QTimer>

namespace {
const char *const kSettingsOrganization = "RUD";
const char *const kSettingsApplication = "Lumwerk";
const char *const kFontSizeKey = "fontsize";
} // namespace

PELKfwloader::PELKfwloader()
    : modem(nullptr)
{
    ui.setupUi(this);

    modem = std::make_unique<Modem>();
    firmwareVersion = 0;

    for (int i = 1; i <= kPortCount; ++i)
        portNames.append(QString::asprintf("COM%i", i));
    portIndex = 0;

    flashImage.fill(kErasedByte);

    ui.pushButton->setEnabled(false);
    ui.pushButton_2->setEnabled(false);

    scanTimer = new QTimer(this);
    // The scan's intervals are lower bounds; a coarse timer may fire up to 5 % early.
    scanTimer->setTimerType(Qt::PreciseTimer);
    connect(scanTimer, &QTimer::timeout, this, &PELKfwloader::fopentty);

    {
        const QSettings settings(QString::fromLatin1(kSettingsOrganization),
                                 QString::fromLatin1(kSettingsApplication));
        // The store hands back text; a number that does not fit an int does not convert
        // (QVariant alone would cut it down to some other number).
        const QVariant value = settings.value(QString::fromLatin1(kFontSizeKey), kDefaultFontPixels);
        bool converted = false;
        int stored = value.typeId() == QMetaType::QString ? value.toString().toInt(&converted)
                                                          : value.toInt(&converted);
        if (!converted)
            stored = 0;
        fontSize = stored < kSmallestFontPixels ? kDefaultFontPixels : stored;
    }

    QFont windowFont = font();
    windowFont.setPixelSize(fontSize);
    windowFont.setWeight(QFont::Normal);
    setFont(windowFont);

    modem->closeTty();
    modem->setBaudRate(kLineSpeedBaud);

    scanTimer->start(kFirstScanDelayMs);
}

PELKfwloader::~PELKfwloader()
{
    QSettings settings(QString::fromLatin1(kSettingsOrganization),
                       QString::fromLatin1(kSettingsApplication));
    settings.setValue(QString::fromLatin1(kFontSizeKey), fontSize);
    settings.sync();
}

void PELKfwloader::on_pushButton_3_clicked()
{
    close();
}

void PELKfwloader::closeEvent(QCloseEvent *event)
{
    if (transferRunning) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void PELKfwloader::colourLabel(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setBrush(QPalette::All, QPalette::WindowText, QBrush(colour, Qt::SolidPattern));
    label->setPalette(palette);
}
