// The program's only way to the link library. The library is loaded by file
// name at the first call of any function here -- the program's own
// directory first, then the standard search path -- and every export is
// bound by name. A missing library or export is told to the user once; the
// calls then fail with -1 and the program keeps running.
//
// Texts cross the boundary in the locale's encoding. The receiving wrappers
// hand back a 16-bit result and an empty text for 0 or less; control bytes
// of a reply (ACK, NAK, ENQ, CR ...) stay characters of the same codes.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "ombrix.h"

namespace tavorin {

namespace binding {

// The library's file name on this platform.
QString libraryFileName();

// Looks for the library under another name or path from the next load on
// (tests; an absolute path is used as it stands). Unloads what was loaded and
// lets the missing-library message be shown again.
void overrideLibrary(const QString& nameOrPath);

// True once every export is bound (loads on first use).
bool available();

}  // namespace binding

// Plain exports: no text crosses.
std::int32_t PortOpen(std::int32_t com, std::int32_t baud, std::int32_t dataBits,
                      std::int32_t stopBits, std::int32_t parity, std::int32_t flow);
std::int32_t PortClose(std::int32_t handle);
std::int32_t TimeoutSet(std::int32_t handle, std::int32_t first, std::int32_t data);
std::int32_t RecvChk(std::int32_t handle);
std::int32_t ComCancel(std::int32_t handle);
std::int32_t ComClear(std::int32_t handle);
std::int32_t ImageProgress(std::int32_t handle, std::int32_t* length, std::int32_t* received);
std::int32_t RecvStart(std::int32_t handle, std::intptr_t window, std::uint32_t message);
std::int32_t RecvStop(std::int32_t handle);
std::int32_t PumpSet(Ombrix_PumpFn pump);
// Why this thread's last PortOpen could not get its device (OMBRIX_OPEN_*).
std::int32_t OpenFailure();
// Cancels the open of COM number `com` under way (or what runs on it once
// open); from the pump or another thread.
std::int32_t OpenCancel(std::int32_t com);

// Why this thread's last PortOpen failed, with the facts behind the reason:
// the server's words when it turned the open away, the line setting it did
// not set as asked, and for a malformed network name which part is wrong.
struct OpenFailureInfo {
    std::int32_t reason = OMBRIX_OPEN_OK;
    QString words;                                     // OMBRIX_OPEN_TURNED_AWAY
    std::int32_t lineSetting = 0, asked = 0, set = 0;  // OMBRIX_OPEN_LINE_NOT_SET
    std::int32_t namePart = OMBRIX_NAME_NETWORK;       // OMBRIX_OPEN_BAD_NAME
};
// `portName`: the name the open was given (what PortName answers for its
// COM number), which a malformed network name is checked in.
OpenFailureInfo OpenFailureDetails(const QString& portName);
// What a port's name is, and which part of a network name is wrong
// (OMBRIX_NAME_*); OMBRIX_NAME_DEVICE without a library.
std::int32_t PortNameCheck(const QString& name);

// The system's error number behind the port's last file error of an image
// transfer (Ombrix_FileFailure), and the system's words for it: empty when
// there is none.
std::int32_t FileFailure(std::int32_t handle);
QString FileFailureText(std::int32_t handle);
// The device path behind COM `com`, or an empty text (no library, or a
// number outside 1..OMBRIX_COM_MAX).
QString PortName(std::int32_t com);
// The folder the library reads COM<n> aliases from, or an empty text.
QString PortFolder();
// Lets the library number the USB serial devices present (Ombrix_PortScan).
std::int32_t PortScan();
// Makes the alias COM<n> -> `target` (a network name or a device path) at
// the lowest free n from `first`; n, or a negative result code.
std::int32_t PortAdd(const QString& target, std::int32_t first);
// Removes the alias COM<com>; 0 or a negative result code.
std::int32_t PortRemove(std::int32_t com);
// Whether the library follows the port directory's aliases
// (OMBRIX_FOLDER_*); OMBRIX_FOLDER_MISSING without a library.
std::int32_t PortFolderCheck();

// The bytes SendCommand puts on the line for `command`, framed by the
// library itself; empty when it cannot say.
QByteArray CommandFrame(const QString& command);

// Wrappers that move texts.
std::int32_t SendCommand(std::int32_t handle, const QString& command);
std::int32_t SendData(std::int32_t handle, const QString& text);
// `raw`, when given, also receives the reply's bytes as they came: the
// terminal shows bytes that are no text of the locale by their codes.
std::int16_t RecvResponse(std::int32_t handle, QString& reply, std::int32_t capacity,
                          QByteArray* raw = nullptr);
std::int16_t RecvData(std::int32_t handle, QString& data, std::int32_t capacity,
                      const QString& start, const QString& end, QByteArray* raw = nullptr);
// The terminal's readers: as RecvData with no start or end text and as
// RecvResponse, the reply's bytes as they came in `bytes`. A reply longer
// than `capacity` answers OMBRIX_E_NO_ROOM with its first `capacity` bytes
// there; the rest waits in the line, and the next read goes on with it.
std::int32_t RecvDataPiece(std::int32_t handle, QByteArray& bytes, std::int32_t capacity);
std::int32_t RecvResponsePiece(std::int32_t handle, QByteArray& bytes, std::int32_t capacity);
std::int16_t RecvImage(std::int32_t handle, const QString& fileName, QString& reply,
                       std::int32_t capacity, std::int32_t mode, QByteArray* raw = nullptr);

// The text `bytes` spell in the locale's encoding, which the wrappers send
// back as those same bytes; nothing when they spell no such text (bytes
// that are no character of the encoding), since sending or naming anything
// else in their place would be a silent substitute.
std::optional<QString> textOfBytes(const QByteArray& bytes);
// The same for a file's name, as the system gives it.
std::optional<QString> fileNameOfBytes(const QByteArray& bytes);

// Reply bytes as text in the locale's encoding; ASCII and control bytes
// become the characters of the same codes.
QString replyText(const unsigned char* bytes, std::int32_t count);

}  // namespace tavorin
