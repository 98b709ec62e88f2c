#include <QDir>
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/VersionInfo.h"

#include "platform/Win32.h"

namespace tavrin {

namespace {

// The running program's own file, however long its path.
QString programFile() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0) return {};
        if (length < path.size()) return QString::fromWCharArray(path.data(), int(length));
        if (path.size() >= 32768) return {};  // longer than Windows allows
        path.resize(path.size() * 2);
    }
}

// One string of the StringFileInfo block for a language and code page.
QString stringEntry(const std::vector<unsigned char>& info, WORD language, WORD codePage,
                    const QString& name) {
    const std::wstring key = QStringLiteral("\\StringFileInfo\\%1%2\\%3")
                                 .arg(language, 4, 16, QLatin1Char('0'))
                                 .arg(codePage, 4, 16, QLatin1Char('0'))
                                 .arg(name)
                                 .toStdWString();
    void* value = nullptr;
    UINT length = 0;  // in characters, with or without the closing NUL
    if (!::VerQueryValueW(info.data(), key.c_str(), &value, &length) || value == nullptr ||
        length == 0)
        return {};
    const auto* text = static_cast<const wchar_t*>(value);
    return QString::fromWCharArray(text, int(::wcsnlen(text, length))).trimmed();
}

}  // namespace

QString ProductNameOf(const QString& filePath) {
    const std::wstring path = QDir::toNativeSeparators(filePath).toStdWString();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<unsigned char> info(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return {};

    // The languages the file names in its Translation entry, in its order,
    // then US English in UTF-16 and in Windows' Western code page, which files
    // without that entry most often use.
    struct Translation {
        WORD language;
        WORD codePage;
    };
    std::vector<Translation> tried;
    void* listed = nullptr;
    UINT bytes = 0;
    if (::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &listed, &bytes) && listed) {
        const auto* first = static_cast<const Translation*>(listed);
        tried.assign(first, first + bytes / sizeof(Translation));
    }
    tried.push_back({0x0409, 1200});
    tried.push_back({0x0409, 1252});
    for (const Translation& t : tried) {
        const QString name =
            stringEntry(info, t.language, t.codePage, QStringLiteral("ProductName"));
        if (!name.isEmpty()) return name;
    }
    return {};
}

QString ProgramProductName(const QString& builtIn) {
    const QString file = programFile();
    const QString name = file.isEmpty() ? QString() : ProductNameOf(file);
    return name.isEmpty() ? builtIn : name;
}

}  // namespace tavrin
