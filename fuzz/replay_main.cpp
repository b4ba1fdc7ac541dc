#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include "fuzz/fuzzsupport.h"

// Runs a harness without the fuzzer over every file of the corpus folders named on the
// command line, so the normal test suite replays what fuzzing found.
int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir folder(QString::fromLocal8Bit(argv[i]));
        if (!folder.exists()) {
            std::fprintf(stderr, "Corpus folder %s does not exist\n", argv[i]);
            return 1;
        }
        const QFileInfoList files = folder.entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo &info : files) {
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "Cannot read %s\n", qPrintable(info.filePath()));
                return 1;
            }
            const QByteArray bytes = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
            ++replayed;
        }
    }
    if (replayed == 0) {
        std::fprintf(stderr, "No corpus file replayed\n");
        return 1;
    }
    std::printf("%d corpus files replayed\n", replayed);
    return 0;
}
