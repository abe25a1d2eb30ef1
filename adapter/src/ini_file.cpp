// Reading the per-model INI file and importing it into "Settings".
#include "adapter/ini_file.h"

#include "adapter/settings.h"
#include "kernel/dbg.h"
#include "kernel/file.h"
#include "kernel/registry.h"
#include "kernel/rtl.h"
#include "portcls/portcls.h"

namespace {

constexpr ULONG kHardwareIdScratch = 1000;
constexpr WCHAR kSystemRoot[] = u"\\SystemRoot\\";
constexpr WCHAR kDefaultModule[] = u"AUBRICPRO.INI";
constexpr ULONG kModuleNameBytes = 100;  // "ModuleName" is read as up to 100 bytes
constexpr CHAR kVersionSection[] = "VERSION";
constexpr CHAR kModelSection[] = "QUVARA";

// Widens ANSI (Latin-1) text; out holds length + 1 characters.
void Widen(const CHAR* text, ULONG length, WCHAR* out) {
  for (ULONG i = 0; i < length; ++i) out[i] = static_cast<UCHAR>(text[i]);
  out[length] = 0;
}

// A usable module name: 1 to (path limit - prefix) characters, no control character, no
// path separator, no drive or stream colon.
bool ValidModuleName(const WCHAR* name, ULONG length) {
  const ULONG prefix = sizeof kSystemRoot / sizeof(WCHAR) - 1;
  if (length == 0 || length > CIniFile::MAX_PATH_CHARS - prefix) return false;
  for (ULONG i = 0; i < length; ++i)
    if (name[i] < 0x20 || name[i] == u'\\' || name[i] == u'/' || name[i] == u':') return false;
  return true;
}

}  // namespace

CIniFile::~CIniFile() {
  Close();
  if (m_pLine) ExFreePoolWithTag(m_pLine, INI_LINE_POOL_TAG);
}

NTSTATUS CIniFile::Init(PDEVICE_OBJECT DeviceObject) {
  if (!DeviceObject) return STATUS_INVALID_PARAMETER;
  m_pDeviceObject = DeviceObject;
  m_nReadLimit = 0x7FFFFFFF;
  if (!m_pLine) {
    m_pLine = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, ini::kMaxLine + 2, INI_LINE_POOL_TAG));
    if (!m_pLine) return STATUS_INSUFFICIENT_RESOURCES;
  }

  // The first hardware ID, upper case, in ANSI.
  auto* ids = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, kHardwareIdScratch, INI_LINE_POOL_TAG));
  if (!ids) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG idBytes = 0;
  NTSTATUS status = PcGetDeviceProperty(DeviceObject, DevicePropertyHardwareID, kHardwareIdScratch, ids, &idBytes);
  if (NT_SUCCESS(status)) {
    const ULONG chars = (idBytes < kHardwareIdScratch ? idBytes : kHardwareIdScratch) / sizeof(WCHAR);
    ULONG n = 0;
    for (; n < chars && n < ini::kMaxHardwareId && ids[n] != 0; ++n) {
      const WCHAR c = RtlUpcaseUnicodeChar(ids[n]);
      m_HardwareId[n] = c <= 0xFF ? static_cast<CHAR>(c) : '?';
    }
    m_HardwareId[n] = '\0';
    m_nHardwareIdLength = n;
    if (n == 0) status = STATUS_UNSUCCESSFUL;  // an empty ID would match every entry
  }
  ExFreePoolWithTag(ids, INI_LINE_POOL_TAG);
  if (!NT_SUCCESS(status)) return status;

  // The module name: "ModuleName" from Settings when it makes a valid file name.
  WCHAR module[kModuleNameBytes / sizeof(WCHAR) + 1] = {};
  ULONG moduleLength = 0;
  if (NT_SUCCESS(SettingsValue(DeviceObject, SETTINGS_READ, nullptr, u"ModuleName", REG_SZ, module,
                               kModuleNameBytes))) {
    while (moduleLength < kModuleNameBytes / sizeof(WCHAR) && module[moduleLength]) ++moduleLength;
  }
  if (!ValidModuleName(module, moduleLength)) {
    RtlStringCchCopyW(module, sizeof module / sizeof(WCHAR), kDefaultModule);
    moduleLength = sizeof kDefaultModule / sizeof(WCHAR) - 1;
  }
  RtlStringCchCopyW(m_FilePath, MAX_PATH_CHARS + 1, kSystemRoot);
  RtlStringCchCatW(m_FilePath, MAX_PATH_CHARS + 1, module);
  return STATUS_SUCCESS;
}

NTSTATUS CIniFile::OpenFile() {
  Close();
  m_nReadPos = 0;
  m_nReadPosHigh = 0;
  m_nReadLimit = 0x7FFFFFFF;
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, m_FilePath);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE file = nullptr;
  const NTSTATUS status =
      ZwCreateFile(&file, GENERIC_READ, &attributes, &m_IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                   FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  if (NT_SUCCESS(status)) m_hFile = file;
  return status;
}

void CIniFile::Close() {
  if (m_hFile) {
    ZwClose(m_hFile);
    m_hFile = nullptr;
  }
}

bool CIniFile::ReadByte(CHAR* c) {
  if (!m_hFile || m_nReadPos >= m_nReadLimit) return false;
  LARGE_INTEGER offset;
  offset.u.LowPart = m_nReadPos;
  offset.u.HighPart = static_cast<LONG>(m_nReadPosHigh);
  const NTSTATUS status = ZwReadFile(m_hFile, nullptr, nullptr, nullptr, &m_IoStatus, c, 1, &offset, nullptr);
  return NT_SUCCESS(status) && m_IoStatus.Information == 1;
}

bool CIniFile::ReadLine() {
  m_nLineLength = 0;
  m_bLineTooLong = false;
  bool any = false;
  CHAR c;
  while (ReadByte(&c)) {
    ++m_nReadPos;
    any = true;
    if (c == '\r') {
      CHAR next;
      if (ReadByte(&next) && next == '\n') ++m_nReadPos;
      break;
    }
    if (c == '\n') break;  // a line ended without CR
    if (m_nLineLength < ini::kMaxLine)
      m_pLine[m_nLineLength++] = c;
    else
      m_bLineTooLong = true;  // cut here: still a header, but no longer an entry
  }
  if (!any) return false;
  m_pLine[m_nLineLength] = '\r';
  m_pLine[m_nLineLength + 1] = '\n';
  return true;
}

bool CIniFile::FindSection(const CHAR* name, ULONG length) {
  while (ReadLine())
    if (ini::IsSection(CurrentLine(), name, length)) return true;
  return false;
}

ULONG CIniFile::ReadVersion() {
  ULONG version = 0;
  bool read = false;
  if (!m_pLine || !NT_SUCCESS(OpenFile())) return 0;  // no file: nothing to import, nothing to say
  if (FindSection(kVersionSection, sizeof kVersionSection - 1)) {
    while (ReadLine()) {
      if (ini::IsHeader(CurrentLine())) break;
      if (m_bLineTooLong || !ini::IsEntry(CurrentLine())) continue;
      const ini::VersionLine kind = ini::ParseVersion(CurrentLine(), &version);
      if (kind == ini::VersionLine::kNotKeyLine) continue;
      read = kind == ini::VersionLine::kValid;
      break;
    }
  }
  Close();
  if (!read) {
    DbgPrint("INI import: no readable version in the [VERSION] section of %ls, nothing imported\n", m_FilePath);
    return 0;
  }
  return version;
}

NTSTATUS CIniFile::OpenModel() {
  if (!m_pLine || !NT_SUCCESS(OpenFile())) return STATUS_UNSUCCESSFUL;
  if (FindSection(kModelSection, sizeof kModelSection - 1)) {
    while (ReadLine()) {
      if (ini::IsHeader(CurrentLine())) break;
      if (m_bLineTooLong) continue;
      if (ini::MatchHardwareId(CurrentLine(), m_HardwareId, m_nHardwareIdLength, m_ModelName, &m_nModelNameLength))
        return STATUS_SUCCESS;
    }
  }
  Close();
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CIniFile::ApplySettings() {
  if (!m_hFile || m_nModelNameLength == 0) return STATUS_UNSUCCESSFUL;
  // Every section of the model in the file, in file order.
  m_nReadPos = 0;
  m_nReadPosHigh = 0;
  auto* entry = static_cast<ini::Entry*>(ExAllocatePoolWithTag(PagedPool, sizeof(ini::Entry), INI_LINE_POOL_TAG));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  CHAR subKey[ini::kMaxSubKeyName + 1];
  ULONG subKeyLength = 0;
  WCHAR wideSubKey[ini::kMaxSubKeyName + 1];
  WCHAR wideKey[ini::kMaxValueToken + 1];
  bool have = ReadLine();
  while (have) {
    if (!ini::IsModelSection(CurrentLine(), m_ModelName, m_nModelNameLength, subKey, &subKeyLength)) {
      have = ReadLine();
      continue;
    }
    Widen(subKey, subKeyLength, wideSubKey);
    // The section's key lines, up to the next header (which the loop looks at again).
    while ((have = ReadLine())) {
      if (ini::IsHeader(CurrentLine())) break;
      if (m_bLineTooLong) continue;
      if (!ini::ParseEntry(CurrentLine(), entry)) continue;
      Widen(entry->key, entry->keyLength, wideKey);
      SettingsValue(m_pDeviceObject, SETTINGS_WRITE, subKeyLength ? wideSubKey : nullptr, wideKey, entry->type,
                    entry->data, entry->size);
    }
  }
  ExFreePoolWithTag(entry, INI_LINE_POOL_TAG);
  return STATUS_SUCCESS;
}

NTSTATUS ImportIniFile(PDEVICE_OBJECT DeviceObject) {
  CIniFile* ini = new (NonPagedPool, INI_FILE_POOL_TAG) CIniFile;
  if (!ini) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = ini->Init(DeviceObject);
  if (NT_SUCCESS(status)) {
    ULONG fileVersion = ini->ReadVersion();
    ULONG storedVersion = 0;
    SettingsBinaryValue(DeviceObject, SETTINGS_READ, &storedVersion, sizeof storedVersion, u"IniVersion");
    if (storedVersion < fileVersion && NT_SUCCESS(ini->OpenModel()) && NT_SUCCESS(ini->ApplySettings()))
      SettingsBinaryValue(DeviceObject, SETTINGS_WRITE, &fileVersion, sizeof fileVersion, u"IniVersion");
  }
  delete ini;
  return status;
}
