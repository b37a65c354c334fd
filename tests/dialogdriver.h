#pragma once

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

// Answers the next modal file dialog the way a user would: types a path into the
// file name field and clicks "Open", or cancels when the path is empty.
// What the dialog showed is kept for the test to look at.
class DialogDriver : public QObject
{
public:
    struct Seen
    {
        bool shown = false;
        QString caption;
        QString directory;
        QStringList filters;
        QString preset;
    };

    enum class AfterChoice {
        Keep,
        RemoveFile,     // the file goes away between the user's choice and the loader's read
        ReplaceWithPipe // the file becomes a named pipe in that moment (no dialog offers one)
    };

    explicit DialogDriver(const QString &path, AfterChoice after = AfterChoice::Keep)
        : path(path), after(after)
    {
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, &DialogDriver::tryAnswer);
        poll.start();
    }

    const Seen &seen() const { return info; }

private:
    void tryAnswer()
    {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!info.shown) {
            info.shown = true;
            info.caption = dialog->windowTitle();
            info.directory = dialog->directory().absolutePath();
            info.filters = dialog->nameFilters();
            if (edit)
                info.preset = edit->text();
        }
        if (path.isEmpty() || !edit) {
            poll.stop();
            dialog->reject();
            return;
        }

        // The dialog lists its folder in the background and may select entries of its
        // own meanwhile; type the path and answer only once it is the one choice.
        if (auto *list = dialog->findChild<QListView *>(QStringLiteral("listView")))
            list->clearSelection();
        edit->setText(path);
        const bool chosen = dialog->selectedFiles() == QStringList{path};
        if (!chosen && ++waits < kMaxWaits)
            return;
        poll.stop();

        if (after != AfterChoice::Keep) {
            connect(dialog, &QFileDialog::fileSelected, this, [this](const QString &file) {
                QFile::remove(file);
                if (after == AfterChoice::ReplaceWithPipe)
                    ::mkfifo(QFile::encodeName(file).constData(), S_IRUSR | S_IWUSR);
            });
        }
        auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        QPushButton *open = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
        if (open && open->isEnabled())
            open->click();
        if (dialog->isVisible())
            dialog->reject(); // the path was not taken: end the test's wait at once
    }

    QString path;
    AfterChoice after;
    QTimer poll;
    int waits = 0;
    static constexpr int kMaxWaits = 500; // 10 s of 20 ms polls
    Seen info;
};
