// Runs a fuzz target once on every file named on the command line, and on
// every file of every directory named there: the committed seeds and the
// inputs that once crashed become plain tests without libFuzzer.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
bool runFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray input = file.readAll();
    std::fprintf(stderr, "%s (%d bytes)\n", qPrintable(path), int(input.size()));
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    // Listed first, as absolute paths: a target may change the working directory.
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QFileInfo arg(QString::fromLocal8Bit(argv[i]));
        if (!arg.isDir()) {
            files.append(arg.absoluteFilePath());
            continue;
        }
        const QDir dir(arg.absoluteFilePath());
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Name))
            files.append(dir.absoluteFilePath(name));
    }
    bool readable = true;
    for (const QString& path : qAsConst(files))
        readable = runFile(path) && readable;
    std::fprintf(stderr, "%d inputs run\n", int(files.size()));
    // No input at all means the corpus went missing: that must not pass.
    return readable && !files.isEmpty() ? 0 : 1;
}
