#include "journal/JournalSystem.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace zol {

namespace {

std::string Utf8(const wchar_t *Wide, int Length = -1) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, Wide, Length, nullptr, 0, nullptr, nullptr);
  if (size <= 0)
    return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, Wide, Length, text.data(), size, nullptr, nullptr);
  if (Length < 0 && !text.empty() && text.back() == '\0')
    text.pop_back();
  return text;
}

std::wstring Wide(const std::string &Utf8Text) {
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, Utf8Text.data(),
                                         static_cast<int>(Utf8Text.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, Utf8Text.data(), static_cast<int>(Utf8Text.size()),
                          text.data(), size);
  return text;
}

} // namespace

std::string SystemJournalPath() {
  const wchar_t *data = _wgetenv(L"LOCALAPPDATA");
  if (!data || !*data)
    return {};
  return Utf8(data) + "\\ZOLCFG\\journal.sqlite";
}

std::string MakeFoldersFor(const std::string &FilePath) {
  // The user's local application data is the user's alone already.
  const std::size_t slash = FilePath.find_last_of("/\\");
  if (slash == std::string::npos)
    return {};
  const std::wstring wide = Wide(FilePath.substr(0, slash));
  for (std::size_t at = 1; at <= wide.size(); ++at) {
    if (at < wide.size() && wide[at] != L'\\' && wide[at] != L'/')
      continue;
    const std::wstring part = wide.substr(0, at);
    if (part.size() == 2 && part[1] == L':')
      continue; // a drive
    if (::CreateDirectoryW(part.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) {
      const DWORD attributes = ::GetFileAttributesW(part.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Utf8(part.c_str()) + " is not a folder";
      continue;
    }
    return "cannot make the folder " + Utf8(part.c_str()) + " (error " +
           std::to_string(::GetLastError()) + ")";
  }
  return {};
}

bool PathExists(const std::string &Path) {
  return ::GetFileAttributesW(Wide(Path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string SystemUserName() {
  wchar_t name[257] = {};
  DWORD size = 257;
  if (!::GetUserNameW(name, &size))
    return {};
  return Utf8(name);
}

std::string SystemHostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size))
    return {};
  return Utf8(name);
}

} // namespace zol
