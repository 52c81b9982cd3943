/*
 * ombrix.h - the scanner link library.
 *
 * Ombrix owns everything that touches the serial line to a 2D imaging scanner:
 * a table of ten port records, the line settings, the command frame, waiting
 * for replies with time-outs and cancellation, an optional watcher thread and
 * the image transfer. The caller sees only port handles, byte buffers,
 * zero-terminated byte strings and the result codes below.
 *
 * Conventions that hold for every export:
 *   - The port handle (0..9) is the index of a record in the port table, as
 *     returned by Ombrix_PortOpen. Every export checks the handle's range
 *     first (OMBRIX_E_PARAM), then that the port is open (OMBRIX_E_NOT_OPEN),
 *     then its other arguments, unless its description says otherwise.
 *   - A result of 0 or more is success (a handle, a byte count or 0); a
 *     negative result is one of the OMBRIX_E_* codes and means the same thing
 *     in every function. Nothing is raised, logged or shown.
 *   - Time-outs are milliseconds on a monotonic clock. A stored time-out of 0
 *     or less means "no limit".
 *   - Buffers belong to the caller. The library writes at most the given
 *     capacity and keeps no pointer after it returns. Replies are not
 *     zero-terminated on success: the result is the byte count.
 *   - The blocking calls (the greeting in Ombrix_PortOpen, the reply readers,
 *     the image transfer) sleep in the kernel until a byte comes or their
 *     time is up. While a pump is registered with Ombrix_PumpSet they wake
 *     about every 10 ms to call it, so the caller's event loop keeps running
 *     inside them. With none registered, on Windows they run the default
 *     pump instead (see Ombrix_PumpSet); on POSIX they do not wake at all.
 *   - An event handler run by the pump may call Ombrix_ComCancel or
 *     Ombrix_PortClose; the waiting call returns OMBRIX_E_CANCELLED as soon
 *     as the pump returns. It must not start another read on the same port.
 *     Ombrix_ComCancel may also come from another thread while a call waits
 *     on the port: the wait ends at once, pump or none. A cancelled image
 *     transfer first drains the input, so it returns once the line has been
 *     quiet for about 20 ms (later while the scanner keeps sending).
 *   - The port table has no lock: one calling thread (the program's GUI
 *     thread) plus at most one watcher thread per port; only
 *     Ombrix_ComCancel may be called from a further thread.
 *
 * A COM number n (1..OMBRIX_COM_MAX) names a device: \\.\COMn on Windows, a device
 * path or a network port on POSIX; see Ombrix_PortName.
 *
 * Network ports (POSIX). A scanner on a serial device server, or on a
 * computer that runs ser2net, is reached as the alias COM<n> whose link text
 * is a network name (Ombrix_PortAdd makes one):
 *   rfc2217://HOST:PORT  a telnet session with the Com Port Control option:
 *                        the open negotiates binary transmission both ways,
 *                        suppress-go-ahead and the option, then sends the
 *                        line's speed, data size, parity, stop size, flow
 *                        control, DTR on and RTS as for a serial port. The
 *                        server answers each setting with the value it put
 *                        in force: the speed, data size, parity and stop
 *                        size must be answered, within 1 s, with the values
 *                        asked for, and the flow control too where the
 *                        server answers it (DTR and RTS need no answer: some
 *                        servers never give one). Otherwise the far line does
 *                        not run as the scanner does, and the open fails
 *                        with OMBRIX_E_COMM and OMBRIX_OPEN_LINE_NOT_SET
 *                        (Ombrix_OpenFailureLine tells which setting, what
 *                        was asked and what was set). A server that refuses
 *                        the option altogether cannot set the line and fails
 *                        the open with OMBRIX_E_COMM too.
 *   socket://HOST:PORT   the bare byte stream: no telnet, and the line's
 *                        settings are not sent at all; the server's own
 *                        settings must match the scanner. A server whose
 *                        stream opens with telnet negotiation is a telnet
 *                        port given as a raw one: its escaping would corrupt
 *                        every 0xFF of a picture, so the open fails with
 *                        OMBRIX_E_NOT_OPEN and OMBRIX_OPEN_TELNET.
 * HOST is a name, an IPv4 address or an IPv6 address in brackets; PORT is
 * 1..65535; nothing may follow (Ombrix_PortNameCheck tells which part of a
 * name is wrong). Everything else works as for a serial port:
 *   - The open resolves the name (on a thread of its own, so that a slow
 *     resolver cannot freeze the caller) and connects without blocking: the
 *     pump runs about every 10 ms, and Ombrix_OpenCancel with the COM number
 *     (or Ombrix_ComCancel on the handle the open is taking, the lowest free
 *     record), from the pump or another thread, ends it with
 *     OMBRIX_E_CANCELLED within about 10 ms, pump or none. Resolving,
 *     connecting and negotiating take at most 5 s, then OMBRIX_E_NOT_OPEN;
 *     Ombrix_OpenFailure says why (no such host, unreachable, refused, no
 *     answer). The answers to the line's settings are then awaited at most
 *     1 s more.
 *   - A server that serves one client at a time (ser2net) turns every
 *     further one away: it says so in a line of text and closes. The open
 *     then fails with OMBRIX_E_NOT_OPEN and OMBRIX_OPEN_TURNED_AWAY, and
 *     Ombrix_OpenFailureText gives the server's words.
 *   - Bytes pass unchanged both ways, 0xFF included; telnet commands in the
 *     stream never reach a reply buffer, an image file or a queue count.
 *   - Purges of the input or output are sent to an rfc2217:// server as its
 *     purge command for the same side. Ombrix_CmndSend lets the output of
 *     earlier sends leave the host first, as for a serial port.
 *   - A connection the server closes or resets is a vanished device
 *     (OMBRIX_E_COMM); the bytes that came before the close are still read.
 *     TCP keep-alive notices a server that died silently, on an idle line,
 *     within a minute.
 *   - Waits sleep in the kernel on the connection, as on a serial port.
 *   - Ombrix_PortClose ends the connection in order: the server is told, and
 *     what it still sends is read until it closes its side too (at most
 *     250 ms), so that it takes the next connection at once.
 * On Windows a device server's own driver gives a COM port; the library has
 * no network ports there.
 */
#ifndef OMBRIX_H
#define OMBRIX_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(OMBRIX_STATIC) /* linked from the static archive, not the DLL */
#define OMBRIX_API
#elif defined(OMBRIX_BUILDING)
#define OMBRIX_API __declspec(dllexport)
#else
#define OMBRIX_API __declspec(dllimport)
#endif
#else
#define OMBRIX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
enum {
    OMBRIX_OK = 0,            /* success (functions that return a count use 0..n) */
    OMBRIX_E_NOT_OPEN = -1,   /* port not open, or the device cannot be opened */
    OMBRIX_E_FILE = -2,       /* the image file cannot be created or written */
    OMBRIX_E_TIMEOUT = -3,    /* no reply within the time-out; a write not taken
                                 within 1000 ms; an image chunk arrived short */
    OMBRIX_E_CANCELLED = -4,  /* the cancel flag was found set */
    OMBRIX_E_PARAM = -5,      /* bad handle or argument, line setting out of range */
    OMBRIX_E_COMM = -6,       /* the device refused, vanished or sent nothing; the
                                 greeting failed; an image header was bad */
    OMBRIX_E_NO_ROOM = -7,    /* no free record, COM number outside 1..OMBRIX_COM_MAX,
                                 or a reply longer than the caller's buffer */
    OMBRIX_E_BUSY = -8,       /* Ombrix_PortClose during an image transfer */
    OMBRIX_E_NO_WATCHER = -99 /* Ombrix_RecvStart: watcher running or not startable */
};

/* The COM numbers: 1..OMBRIX_COM_MAX. On POSIX those from OMBRIX_COM_FIRST_ALIAS up
   name no built-in device and exist only as aliases (see Ombrix_PortName). */
enum { OMBRIX_COM_MAX = 256, OMBRIX_COM_FIRST_ALIAS = 97 };

/* Default time-outs set by every open. */
enum { OMBRIX_DEFAULT_FIRST_TIMEOUT_MS = 10000, OMBRIX_DEFAULT_DATA_TIMEOUT_MS = 300 };

/* Values of Ombrix_OpenFailure: why the calling thread's last open failed. */
enum {
    OMBRIX_OPEN_OK = 0,        /* the last open got its device (or none was tried) */
    OMBRIX_OPEN_DENIED = 1,    /* the system refused access to the device */
    OMBRIX_OPEN_NO_DEVICE = 2, /* no device behind the COM number */
    OMBRIX_OPEN_HELD = 3,      /* held by another program (or open in this one) */
    OMBRIX_OPEN_OTHER = 4,     /* any other reason: no resources, a driver's refusal */
    OMBRIX_OPEN_NOT_TTY = 5,   /* the name leads to something that is no terminal device:
                                  a regular file, a FIFO, a socket, a directory */
    /* Network ports (see Ombrix_PortName): */
    OMBRIX_OPEN_BAD_NAME = 6,        /* a malformed network name (the open gave OMBRIX_E_PARAM) */
    OMBRIX_OPEN_NO_HOST = 7,         /* the host name does not resolve */
    OMBRIX_OPEN_REFUSED = 8,         /* nothing listens at that port (connection refused) */
    OMBRIX_OPEN_NO_ANSWER = 9,       /* no connection, or no telnet answer, within 5 s */
    OMBRIX_OPEN_NO_COM_CONTROL = 10, /* an rfc2217:// server that refuses the option that sets
                                       the line (the open gave OMBRIX_E_COMM) */
    OMBRIX_OPEN_DROPPED = 11,        /* the server closed the connection while it was being set
                                        up, without a word (the open gave OMBRIX_E_COMM) */
    OMBRIX_OPEN_UNREACHABLE = 12,    /* no route to the host: the network or the host is
                                        unreachable */
    OMBRIX_OPEN_TURNED_AWAY = 13,    /* the server said something and closed: it serves another
                                        client (Ombrix_OpenFailureText gives its words) */
    OMBRIX_OPEN_TELNET = 14,         /* a socket:// port whose server speaks telnet: it wants
                                        rfc2217:// */
    OMBRIX_OPEN_LINE_NOT_SET = 15    /* an rfc2217:// server that set a line setting otherwise
                                        than asked, or did not answer it (the open gave
                                        OMBRIX_E_COMM; see Ombrix_OpenFailureLine) */
};

/* Values of Ombrix_OpenFailureLine: the line setting a server did not set as asked. */
enum {
    OMBRIX_LINE_SPEED = 1,  /* bits per second */
    OMBRIX_LINE_DATA = 2,   /* data bits: 5..8 */
    OMBRIX_LINE_PARITY = 3, /* 0 none, 1 even, 2 odd, as Ombrix_PortOpen takes it */
    OMBRIX_LINE_STOP = 4,   /* stop bits: 1 or 2 */
    OMBRIX_LINE_FLOW = 5    /* 0 none, 1 XON/XOFF, 2 RTS/CTS (Ombrix_PortOpen's flow bits) */
};
/* What Ombrix_OpenFailureLine reports as the value set when there is none to report. */
enum {
    OMBRIX_LINE_NO_ANSWER = -1, /* the server did not answer the setting within 1 s */
    OMBRIX_LINE_OTHER = -2      /* a value the open never asks for (mark parity, 1.5 stop
                                   bits, flow control by DCD or DSR) */
};

/* The size of a buffer that holds any text of Ombrix_OpenFailureText. */
enum { OMBRIX_FAILURE_TEXT_SIZE = 121 };

/* Values of Ombrix_PortNameCheck: what a port's name is, and which part of a
   network name is wrong. */
enum {
    OMBRIX_NAME_DEVICE = 0,  /* no network name: a device path */
    OMBRIX_NAME_NETWORK = 1, /* a well-formed network name */
    OMBRIX_NAME_SCHEME = 2,  /* a scheme other than rfc2217:// and socket:// */
    OMBRIX_NAME_USER = 3,    /* a user name ("user@") before the host */
    OMBRIX_NAME_HOST = 4,    /* no host, or one that is no host name or address */
    OMBRIX_NAME_IPV6 = 5,    /* an IPv6 address without its brackets */
    OMBRIX_NAME_NO_PORT = 6, /* no ":PORT" after the host */
    OMBRIX_NAME_PORT = 7,    /* a port that is no number 1..65535 (0, 65536, 04001) */
    OMBRIX_NAME_PATH = 8     /* something after the port: a path, a query */
};

/* Values of Ombrix_PortFolderCheck: whether the port directory's aliases count. */
enum {
    OMBRIX_FOLDER_OWN = 0,     /* the user's own, private directory: its aliases are followed */
    OMBRIX_FOLDER_MISSING = 1, /* not there: the built-in table alone (made when needed) */
    OMBRIX_FOLDER_LINK = 2,    /* a symbolic link: ignored */
    OMBRIX_FOLDER_NOT_DIR = 3, /* something other than a directory: ignored */
    OMBRIX_FOLDER_OWNER = 4,   /* owned by another user: ignored */
    OMBRIX_FOLDER_SHARED = 5,  /* group or others may write to it: ignored */
    OMBRIX_FOLDER_UNUSABLE = 6 /* cannot be looked at (a parent without search permission,
                                  a path too long): ignored */
};

/* Values of Ombrix_ImageProgress. */
enum { OMBRIX_IMAGE_IDLE = 0, OMBRIX_IMAGE_RUNNING = 1, OMBRIX_IMAGE_FAILED = 2 };

/* ---- Port table and port lifecycle --------------------------------------- */

/*
 * Opens COM number `com` and proves that a scanner answers.
 *   baud:   0..9 = 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200
 *   data:   0 = 7 bits, 1 = 8 bits
 *   stop:   0 = one stop bit, 1 = two
 *   parity: 0 = none, 1 = even, 2 = odd
 *   flow:   bit 1 (2) = RTS/CTS hardware flow control, bit 0 (1) = XON/XOFF in
 *           both directions; other bits are ignored. DTR is always raised.
 * The lowest free record is taken. After the line is set, the greeting
 * "BEPBEP?" is sent as a command; the scanner must answer with exactly nine
 * bytes "BEPBEP", any byte, ACK (0x06), '.' within 10000 ms for the first byte
 * and 1000 ms for each further one. Both time-outs are reset to their defaults.
 * Returns the port handle 0..9, or:
 *   OMBRIX_E_NOT_OPEN  the COM number is already open in the table, or the
 *                      device cannot be opened (missing, held by another program),
 *                      or a network port cannot be reached, turns the open away or
 *                      speaks telnet on a socket:// port (see "Network ports")
 *   OMBRIX_E_NO_ROOM   all ten records in use (checked first), or com outside
 *                      1..OMBRIX_COM_MAX
 *   OMBRIX_E_PARAM     baud, data, stop or parity out of range (checked in that order),
 *                      or a malformed network name
 *   OMBRIX_E_TIMEOUT   no answer to the greeting
 *   OMBRIX_E_NO_ROOM   more than nine bytes before a terminator
 *   OMBRIX_E_COMM      a wrong answer, or the device vanished; an rfc2217:// server
 *                      that refuses to set the line or sets it otherwise, or a
 *                      server that closes the connection while the open sets it up
 *   OMBRIX_E_CANCELLED a cancel or close arrived through the pump, or
 *                      Ombrix_OpenCancel (from the pump or another thread)
 * A failed open leaves no record in use and no device open.
 */
OMBRIX_API int32_t Ombrix_PortOpen(int32_t com, int32_t baud, int32_t data, int32_t stop,
                                   int32_t parity, int32_t flow);

/*
 * Closes the port. Raises the cancel flag first, so that a read waiting
 * further down the same thread ends with OMBRIX_E_CANCELLED, wakes a watcher,
 * discards the input and frees the record. A running watcher is not stopped:
 * it ends by itself; call Ombrix_RecvStop to reap it.
 * Returns 0, OMBRIX_E_PARAM (handle outside 0..9), OMBRIX_E_NOT_OPEN, or
 * OMBRIX_E_BUSY while an image transfer runs on the port (nothing changes).
 */
OMBRIX_API int32_t Ombrix_PortClose(int32_t handle);

/*
 * Sets the record's time-outs: `first` for the first byte of a reply
 * (negative: 10000), `data` for each further byte of Ombrix_DataRecv
 * (negative: 300). 0 means no limit. The record need not be open; the next
 * open resets both. A handle outside 0..9 is ignored. Returns 0.
 */
OMBRIX_API int32_t Ombrix_TimeoutSet(int32_t handle, int32_t first, int32_t data);

/*
 * Discards everything the scanner has sent and is still sending: purges both
 * directions until a status read finds the input empty, pumping in between.
 * Then re-arms the watcher's notice. A bad handle or a closed port is
 * ignored. Returns 0.
 */
OMBRIX_API int32_t Ombrix_ComClear(int32_t handle);

/*
 * Raises the port's cancel flag (the running operation returns
 * OMBRIX_E_CANCELLED), wakes a waiting send or read on the port, and wakes a
 * watcher, which re-arms itself. The flag is lowered by the next send or
 * multi-byte read. May be called from another thread than the one waiting.
 * A handle outside 0..9 is ignored. Returns 0.
 */
OMBRIX_API int32_t Ombrix_ComCancel(int32_t handle);

/*
 * Cancels what runs on the record that holds COM number `com`: an
 * Ombrix_PortOpen of that number still under way (connecting, negotiating,
 * awaiting the greeting) ends with OMBRIX_E_CANCELLED, so that a caller
 * need not guess which record the open took; on a port that is open already
 * it does what Ombrix_ComCancel does on its handle. A number no record holds
 * is ignored. May be called from another thread than the one waiting.
 * Returns 0.
 */
OMBRIX_API int32_t Ombrix_OpenCancel(int32_t com);

/* ---- Sending -------------------------------------------------------------- */

/*
 * Sends a scanner command. First the output of earlier sends is let go: the
 * call waits until the driver has put it on the line, for at most the 1000 ms
 * a send is given; only bytes still held after that (a line stopped by flow
 * control) are discarded. Then the input is purged (unread reply bytes are
 * lost), and SYN 'M' CR, the `length` bytes of `command`, and '.' unless the
 * command's last byte is '!' or '.' are written.
 * Returns 0, or OMBRIX_E_PARAM (no command, first byte 0, length < 1),
 * OMBRIX_E_NOT_OPEN, OMBRIX_E_CANCELLED (Ombrix_ComCancel while it waits for
 * the earlier output), OMBRIX_E_COMM (the device has vanished), or a failure
 * of Ombrix_DataSend.
 */
OMBRIX_API int32_t Ombrix_CmndSend(int32_t handle, const unsigned char* command, int32_t length);

/*
 * Writes into `buffer` the frame Ombrix_CmndSend would put on the line for
 * `command` (SYN 'M' CR, the `length` bytes, '.' unless the last byte is '!'
 * or '.'), so that a program that logs or shows what it sends shows exactly
 * that. Touches no port.
 * Returns the frame's length, OMBRIX_E_PARAM (no command, first byte 0,
 * length < 1, no buffer) or OMBRIX_E_NO_ROOM (the buffer is too small).
 */
OMBRIX_API int32_t Ombrix_CmndFrame(const unsigned char* command, int32_t length,
                                    unsigned char* buffer, int32_t capacity);

/*
 * Writes `length` raw bytes and waits until the driver has taken them all,
 * for at most 1000 ms. Lowers the cancel flag first.
 * Returns 0, or OMBRIX_E_PARAM (no bytes, first byte 0, length < 1),
 * OMBRIX_E_NOT_OPEN, OMBRIX_E_TIMEOUT (output blocked, e.g. by flow control,
 * for 1000 ms), OMBRIX_E_CANCELLED, or OMBRIX_E_COMM when the driver refuses
 * the write with an error or the device has vanished.
 */
OMBRIX_API int32_t Ombrix_DataSend(int32_t handle, const unsigned char* bytes, int32_t length);

/* ---- Receive watcher ------------------------------------------------------ */

/*
 * Starts a watcher thread that notifies the caller when bytes arrive. On
 * Windows `window` is a window handle (HWND); a notice posts `message` to it
 * with PostMessageA, both parameters 0, and the thread runs at
 * THREAD_PRIORITY_HIGHEST. On POSIX `window` is a file descriptor open for
 * writing (the write end of a pipe, say); a notice writes the 32-bit
 * `message` number in native byte order to it without blocking. A notice
 * that cannot be delivered is dropped. One notice is given per arrival: the
 * next only after a reader (Ombrix_ResponseRecv, Ombrix_DataRecv,
 * Ombrix_ImageRecv, Ombrix_ImageDebug) or Ombrix_ComClear consumed it.
 * Returns only once the watcher runs and is armed.
 * Returns 0, OMBRIX_E_PARAM (handle outside 0..9, window or message 0),
 * OMBRIX_E_NOT_OPEN, or OMBRIX_E_NO_WATCHER (a watcher is recorded for the
 * port, or no thread could be started).
 */
OMBRIX_API int32_t Ombrix_RecvStart(int32_t handle, intptr_t window, uint32_t message);

/*
 * Stops the port's watcher and waits for it to end, pumping meanwhile.
 * Without a watcher it returns at once. A handle outside 0..9 is ignored.
 * Returns 0.
 */
OMBRIX_API int32_t Ombrix_RecvStop(int32_t handle);

/*
 * Returns the number of bytes waiting in the port's input queue (0 or more);
 * 0 also for a handle outside 0..9 or a closed port. Reads no byte and leaves
 * the watcher's notice alone. An open port whose device has vanished (the
 * far end hung up, the adapter was pulled) gives OMBRIX_E_COMM, so that a
 * caller polling for a reply can stop.
 */
OMBRIX_API int32_t Ombrix_RecvChk(int32_t handle);

/* ---- Reply reading -------------------------------------------------------- */

/*
 * Reads a command reply: bytes up to and including the first '!' or '.'.
 * The first byte is awaited for the first-byte time-out, each further byte
 * for 1000 ms; a reply that falls silent without a terminator is returned as
 * it stands. Bytes behind the terminator stay queued.
 * Returns the number of bytes stored (no terminating zero is written), or
 * OMBRIX_E_PARAM (no buffer, capacity < 1), OMBRIX_E_NOT_OPEN,
 * OMBRIX_E_TIMEOUT (not even a first byte; buffer untouched),
 * OMBRIX_E_NO_ROOM (a further byte arrived with the buffer full: the buffer
 * holds the reply's first `capacity` bytes, and that byte and the rest stay
 * queued, so that another read goes on where this one stopped and nothing
 * is lost), OMBRIX_E_CANCELLED or OMBRIX_E_COMM. On those last two a zero
 * byte is stored behind what arrived, when there is room.
 * Re-arms the watcher's notice whatever the result.
 */
OMBRIX_API int32_t Ombrix_ResponseRecv(int32_t handle, unsigned char* buffer, int32_t capacity);

/*
 * Reads free data framed by texts of the caller's choice. Bytes before
 * `start` are discarded; the read ends once `end` has arrived behind the
 * start (both are kept in the buffer), or once the line has been quiet for the
 * data time-out. A missing or empty text counts as none. The first byte is
 * awaited for the first-byte time-out. Results as Ombrix_ResponseRecv.
 */
OMBRIX_API int32_t Ombrix_DataRecv(int32_t handle, unsigned char* buffer, int32_t capacity,
                                   const char* start, const char* end);

/* ---- Image transfer ------------------------------------------------------- */

/*
 * Receives the answer to an image command. An ordinary reply (first byte not
 * SYN) is stored in `buffer` and its length returned; no file is made. An
 * image reply (SYN, a byte, the length L least significant byte first, a
 * byte, a sub-header ending in GS, L - h bytes of image data, a closing
 * reply) writes the image data to `path` and returns the closing reply.
 * `path` means what it means to any program that writes it:
 *   - A new file, or an existing regular file, is written whole or not at
 *     all: the data goes to a temporary beside it that replaces it only once
 *     every byte is stored. A replaced file keeps its permission bits, and
 *     its owner and group where the process may set them.
 *   - A symbolic link is followed; its final target receives the picture and
 *     the link stays.
 *   - An existing file that is not a regular one (a FIFO, a device) is
 *     written directly, once every byte has arrived. A FIFO needs a reader
 *     when the transfer starts.
 *   - An existing file that must keep what makes it that file is rewritten
 *     in place once every byte has arrived: a file with more than one name
 *     (hard links), a file in a directory that does not let a new file be
 *     created, another user's file in a sticky directory such as /tmp. It
 *     keeps its names, owner, mode and attributes. A failed or cancelled
 *     transfer leaves it as it was. Before a byte of it is touched, the
 *     transfer takes an exclusive lock on it (an open file description
 *     lock, F_OFD_SETLK) and reserves room on the disk for the whole new
 *     picture (fallocate with FALLOC_FL_KEEP_SIZE), so that a disk too full
 *     for the picture fails the transfer with OMBRIX_E_FILE and leaves the
 *     old picture byte for byte. Where the file system cannot reserve, the
 *     part of the new picture beyond the old end is written first, with
 *     the same effect, except that a sparse old file or a copy-on-write
 *     file system can then still meet a full disk midway; a disk error
 *     while the file is written over can leave it damaged. Another
 *     transfer that writes the same file meanwhile, in this process or
 *     another, waits for the first to finish, for at most the first-byte
 *     time-out (10000 ms when that has no limit), then fails with
 *     OMBRIX_E_FILE; two pictures never mix.
 *   - A FIFO or a device is written without blocking: the call waits for
 *     its reader, pumping, until every byte is taken or a cancel arrives
 *     (OMBRIX_E_CANCELLED, also from another thread).
 *   A directory at the path, a directory that takes no new file, an existing
 *   file the process may not write, or a FIFO without a reader gives
 *   OMBRIX_E_FILE before any image byte is read. After any OMBRIX_E_FILE,
 *   Ombrix_FileFailure tells the system's reason.
 *   On Windows the same holds with that system's terms: the temporary
 *   replaces the file through MoveFileEx and the file's attributes stay;
 *   a read-only file is one the process may not write; a device (NUL, a
 *   printer port) is written directly; a file another program holds open
 *   without delete sharing cannot be replaced, which fails the transfer
 *   with OMBRIX_E_FILE and leaves it as it was; a file rewritten in place
 *   is locked with LockFileEx and its room reserved by setting its
 *   allocation size.
 * The picture replaces what stood at `path` only once its closing reply has
 * come, or has failed to come (a time-out, a cancel, the line gone: the
 * picture is kept and the call reports that failure). A closing reply that
 * is no reply -- anything but text and ACK, NAK or ENQ before its '.' or '!',
 * or one longer than the buffer -- shows that the announced length was not
 * the picture's (it went on past it, or the stream was altered on its way):
 * the picture is dropped, `path` stays as it was, and the call gives
 * OMBRIX_E_COMM.
 * `mode` must be 2; `capacity` should be at least 6.
 * Returns the reply's length, or OMBRIX_E_PARAM, OMBRIX_E_NOT_OPEN,
 * OMBRIX_E_TIMEOUT (no first byte, an image chunk stalled for 1000 ms, or no
 * closing reply), OMBRIX_E_COMM (header cut short, length 0 or smaller than
 * the sub-header, a closing reply that is none), OMBRIX_E_NO_ROOM (a
 * sub-header over 1025 bytes), OMBRIX_E_FILE, OMBRIX_E_CANCELLED. After a
 * failure the input is drained.
 */
OMBRIX_API int32_t Ombrix_ImageRecv(int32_t handle, const char* path, unsigned char* buffer,
                                    int32_t capacity, int32_t mode);

/*
 * Reports the image transfer: returns OMBRIX_IMAGE_IDLE, _RUNNING or _FAILED,
 * or OMBRIX_E_NOT_OPEN for a handle outside 0..9 or a closed port. Each
 * given out pointer is set to 0 first and, for an open port, to the announced
 * length L and to the image bytes received so far: while the transfer runs
 * it grows by whole chunks of 1024 bytes; once a transfer broke off it holds
 * every image byte that arrived, the last chunk's included. The values stay
 * after the transfer until the next one starts.
 */
OMBRIX_API int32_t Ombrix_ImageProgress(int32_t handle, int32_t* length, int32_t* received);

/*
 * The system's reason for the port's last OMBRIX_E_FILE from Ombrix_ImageRecv
 * or Ombrix_ImageDebug: its error number (errno on POSIX, such as ENOSPC,
 * EIO, ENOENT, EACCES, EAGAIN for a file another transfer held too long;
 * GetLastError() on Windows), for the caller to show as that system shows
 * it (strerror, FormatMessage). 0 when the port's last transfer had no file
 * failure, or the system gave no reason. Each of those calls sets it back
 * to 0 as it starts; it keeps its value after the call until the next one
 * or until the port is opened again.
 * Returns the number (0 or more), OMBRIX_E_PARAM (handle outside 0..9) or
 * OMBRIX_E_NOT_OPEN.
 */
OMBRIX_API int32_t Ombrix_FileFailure(int32_t handle);

/*
 * Diagnostic twin of Ombrix_ImageRecv: dumps every byte after the SYN (the
 * header, sub-header, data and closing reply) to `path` until the line has
 * been silent for the first-byte time-out. *length_field receives the length
 * read from the header, *byte_count the number of bytes dumped; both are
 * required. `path` is written as by Ombrix_ImageRecv, at the end whatever
 * ended the stream. Results as Ombrix_ImageRecv.
 */
OMBRIX_API int32_t Ombrix_ImageDebug(int32_t handle, const char* path, unsigned char* buffer,
                                     int32_t capacity, int32_t* length_field, int32_t* byte_count);

/* ---- Platform additions --------------------------------------------------- */

/*
 * Tells what a port's name (as Ombrix_PortName writes it, or as a user gives
 * it) is: OMBRIX_NAME_DEVICE for a device path, OMBRIX_NAME_NETWORK for a
 * network name the open takes, else the OMBRIX_NAME_* value of the first
 * part of a network name that is wrong. Any text that begins with a URL
 * scheme and "://" counts as a network name, well-formed or not. Touches
 * nothing. Returns OMBRIX_E_PARAM for a missing name.
 */
OMBRIX_API int32_t Ombrix_PortNameCheck(const char* name);

/*
 * Writes the device path that COM number `com` opens into `buffer`,
 * zero-terminated, and returns its length (without the zero).
 * On Windows: \\.\COM<n>, the device namespace name that reaches every COM
 * number, also those above 9.
 * On POSIX: the alias COM<n> in the port directory ($XDG_RUNTIME_DIR/ombrix/,
 * or /tmp/ombrix-<uid>/ when XDG_RUNTIME_DIR is unset), a symbolic link to a
 * tty, when it exists; else COM1-32 = /dev/ttyS0-31, COM33-64 =
 * /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31. COM97-256 (OMBRIX_COM_FIRST_ALIAS
 * up) exist only as aliases; for them the alias path is written even when it
 * does not exist.
 * An alias may also be one that Ombrix_PortScan made for a USB device, or
 * one whose link text is a network name (rfc2217://HOST:PORT,
 * socket://HOST:PORT): then that text is written, and the open connects to
 * it (see "Network ports" above). Any link text that begins with a URL
 * scheme and "://" counts as a network name; one the open cannot parse fails
 * it with OMBRIX_E_PARAM (Ombrix_PortNameCheck says which part is wrong).
 * The port directory is made, private to the user, when it is missing. Its
 * aliases count only while it is the user's own (Ombrix_PortFolderCheck
 * answers OMBRIX_FOLDER_OWN): in a directory that another user owns or may
 * write to, or that is a link, nothing is followed; every number then names
 * its built-in device, and COM97-256 name nothing (an empty text, length 0),
 * so that opening them fails as for a missing device.
 * Returns the length, OMBRIX_E_NO_ROOM for com outside 1..OMBRIX_COM_MAX, or
 * OMBRIX_E_PARAM for a missing buffer or one too small for the path and its zero.
 */
OMBRIX_API int32_t Ombrix_PortName(int32_t com, char* buffer, int32_t capacity);

/*
 * Writes the path of the port directory (see Ombrix_PortName) into `buffer`,
 * zero-terminated, and returns its length, so that a program can watch it
 * for aliases that come and go. The directory need not exist yet.
 * On Windows there is none: an empty text is written and 0 returned.
 * Returns OMBRIX_E_PARAM for a missing buffer or one too small.
 */
OMBRIX_API int32_t Ombrix_PortFolder(char* buffer, int32_t capacity);

/*
 * Tells whether the port directory (see Ombrix_PortFolder) is one whose
 * aliases the library follows: OMBRIX_FOLDER_OWN for a directory owned by
 * the effective user that neither group nor others may write to, and is no
 * symbolic link; OMBRIX_FOLDER_MISSING when there is none yet; else the
 * OMBRIX_FOLDER_* value that says why it is ignored, so that a program can
 * tell the user (remove the directory, or set XDG_RUNTIME_DIR). The same
 * test guards every alias the library follows or makes. Looks only; makes
 * nothing. On Windows there is no port directory: OMBRIX_FOLDER_MISSING.
 */
OMBRIX_API int32_t Ombrix_PortFolderCheck(void);

/*
 * Gives every USB serial device present that has a persistent name in
 * /dev/serial/by-id/ a COM number that stays its own when it is plugged
 * back in under another ttyACM/ttyUSB node: an alias COM<n> in the port
 * directory that leads to that name. The port directory is made, private to
 * the user, when it is missing, even with no device to number, so that a
 * program can watch it. A device that an alias already leads to, by its
 * persistent name or by its node, keeps that alias; aliases are never
 * changed or removed, so the user's own always win. A new device gets the
 * number of the node it sits on now (COM65 for ttyACM0) when no alias holds
 * that number, else the lowest free one from OMBRIX_COM_FIRST_ALIAS up. A device whose number
 * the user later takes for an alias of their own gets a new one at the next
 * call. Discovery calls this before it lists the ports.
 * Returns how many aliases it made (0 or more), or OMBRIX_E_FILE when the
 * port directory cannot be made or is not the user's own, or others may
 * write to it (such a directory is never written to).
 * On Windows the system itself keeps a USB adapter's COM number across
 * re-plugging and there is no by-id folder: it does nothing and returns 0.
 */
OMBRIX_API int32_t Ombrix_PortScan(void);

/*
 * Makes a port: the alias COM<n> in the port directory (see Ombrix_PortName)
 * that leads to `target`, at the lowest n from `first` (1..OMBRIX_COM_MAX) that no
 * alias holds; an alias there shadows the built-in device of that number,
 * so a program that adds ports for its user starts above the built-in table
 * (OMBRIX_COM_FIRST_ALIAS and up). `target` is a network name (rfc2217://HOST:PORT or
 * socket://HOST:PORT, exactly as the open accepts it) or the absolute path
 * of a character device that exists now (a /dev/serial/by-id/ name). The
 * port directory is made, private to the user, when it is missing.
 * Returns n, or OMBRIX_E_PARAM (no target, a malformed network name, or a
 * path that is no character device), OMBRIX_E_NO_ROOM (`first` outside
 * 1..OMBRIX_COM_MAX, or every number from it up taken), OMBRIX_E_FILE (the port
 * directory is not the user's own, see Ombrix_PortFolderCheck, or refuses
 * the link).
 * On Windows there is no port directory: OMBRIX_E_PARAM for no target, else
 * OMBRIX_E_FILE.
 */
OMBRIX_API int32_t Ombrix_PortAdd(const char* target, int32_t first);

/*
 * Removes the alias COM<com> from the port directory: only ever a symbolic
 * link, never a device or a file that stands under that name. An open port
 * on that number stays open.
 * Returns 0, OMBRIX_E_NO_ROOM (com outside 1..OMBRIX_COM_MAX), OMBRIX_E_NOT_OPEN (no
 * such alias), or OMBRIX_E_FILE (the port directory is not the user's own,
 * or refuses). On Windows there is no port directory: OMBRIX_E_FILE for
 * every com in 1..OMBRIX_COM_MAX.
 */
OMBRIX_API int32_t Ombrix_PortRemove(int32_t com);

/*
 * Why the calling thread's last Ombrix_PortOpen could not get its device:
 * one of the OMBRIX_OPEN_* values. An open that failed later (no greeting,
 * a setting out of range) got its device and leaves OMBRIX_OPEN_OK. On
 * POSIX a permission refusal is usually a user who is not in the group that
 * owns the serial devices (dialout on Debian); on Windows a port another
 * program holds is refused as "access denied" and counts as held. A network
 * port answers OMBRIX_OPEN_BAD_NAME, _NO_HOST, _UNREACHABLE, _REFUSED,
 * _NO_ANSWER, _TURNED_AWAY, _TELNET, _NO_COM_CONTROL, _LINE_NOT_SET or
 * _DROPPED (those last three after an open that gave OMBRIX_E_COMM, which
 * a server that closes the connection during the greeting gives as well).
 * A cancelled open leaves OMBRIX_OPEN_OK: its result says it.
 */
OMBRIX_API int32_t Ombrix_OpenFailure(void);

/*
 * What the server said when it turned the calling thread's last open away
 * (OMBRIX_OPEN_TURNED_AWAY), such as "Port already in use": its first line
 * that holds anything, trimmed, every byte that is no printable ASCII
 * written as '?', at most OMBRIX_FAILURE_TEXT_SIZE - 1 characters, so that
 * a buffer of OMBRIX_FAILURE_TEXT_SIZE bytes always holds it. Written into
 * `buffer`, zero-terminated; an empty text after any other open.
 * Returns the length (without the zero), or OMBRIX_E_PARAM for a missing
 * buffer or one too small for the text and its zero.
 */
OMBRIX_API int32_t Ombrix_OpenFailureText(char* buffer, int32_t capacity);

/*
 * Which line setting the server of the calling thread's last open did not
 * set as asked (OMBRIX_OPEN_LINE_NOT_SET): one of the OMBRIX_LINE_* settings,
 * or 0 after any other open. `*asked` receives the value asked for and
 * `*set` the value the server answered, both in that setting's terms (see
 * OMBRIX_LINE_SPEED ...), or OMBRIX_LINE_NO_ANSWER / OMBRIX_LINE_OTHER; each
 * given pointer is set to 0 first. Either may be null.
 */
OMBRIX_API int32_t Ombrix_OpenFailureLine(int32_t* asked, int32_t* set);

/* A function that runs the caller's pending events and returns. */
typedef void (*Ombrix_PumpFn)(void);

/*
 * Registers the function that the blocking calls run about every 10 ms while
 * they wait (a GUI program passes one that processes its pending events).
 * It replaces the platform's default pump; a null function restores it:
 *   - on Windows the default dispatches the calling thread's window
 *     messages (PeekMessageA with removal, TranslateMessage,
 *     DispatchMessageA) every 10 ms; a WM_QUIT it meets is posted again
 *     for the program's own loop and ends that round;
 *   - on POSIX there is none: nothing is dispatched and a waiting call
 *     sleeps until a byte, its deadline or a cancel.
 * A wait takes the change at its next wake-up. Returns 0.
 */
OMBRIX_API int32_t Ombrix_PumpSet(Ombrix_PumpFn pump);

#ifdef __cplusplus
}
#endif

#endif /* OMBRIX_H */
