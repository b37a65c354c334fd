#pragma once

#include "hexloader.h"
#include "hexloadfindings.h"
#include "loadedimage.h"

#include <QByteArray>
#include <QString>

#include <memory>

// A HEX file loaded and judged exactly as the loader window loads its first file: into
// a fresh image of erased bytes, by the same loader, against the same suitability test.
class FirmwareFile
{
public:
    // What a record with a wrong checksum does to the verdict.
    enum class Checksums {
        Warn,   // nothing, as in the window (hand-patched files rely on it); see checksumWarning()
        Refuse, // the file is not suitable (HexVerdict::NotSuitable)
    };

    static FirmwareFile load(const QString &path, Checksums checksums = Checksums::Warn);

    // The loader's verdict (HexLoader::verdictOf), and NotSuitable for a wrong checksum
    // under Checksums::Refuse.
    HexVerdict verdict() const { return m_verdict; }
    // Why the file is not suitable or unreadable, in English, with the line to blame
    // where there is one ("line 21: two records on one line"); empty when suitable.
    QString reason() const { return m_reason; }
    // "3 records with a wrong checksum (lines 12, 40, 77)"; empty when every checksum
    // adds up.
    QString checksumWarning() const;
    QString path() const { return m_path; } // absolute
    const LoadedImage &image() const { return *m_image; }
    // The 64-byte blocks a write sends: those covering addresses 0 to the image's end
    // (none for an image whose end lies before address 0).
    int blocksToSend() const;
    // SHA-256 (lower-case hex) of the first `blocks` blocks of data as they go out on
    // the line: the low 8 bits of each entry, in address order. Without the addresses.
    QByteArray blockDataSha256(int blocks) const;

private:
    FirmwareFile();

    std::shared_ptr<LoadedImage> m_image; // shared by the copies of this file
    HexVerdict m_verdict = HexVerdict::Unreadable;
    QString m_reason;
    QString m_path;
    HexLoadFindings m_findings;
};
