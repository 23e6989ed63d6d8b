// Positioned input and output through the host's two queues.
//
// The input stream knows the file position of every queued input byte: it
// reads through a window of contiguous bytes, moves inside the queue when a
// wanted position is still there, and otherwise empties the queue and asks the
// host for bytes from that position (ResponseSeek). The output stream writes
// straight into the output queue's storage, knows the output position of every
// byte there, and tells the host at which position each drained batch of bytes
// belongs (SeekTarget with ResponseNeedOutput and ResponseSeek), so rows can be
// placed anywhere in the output file.
//
// A reader keeps its Stream in its job record and hands it to every
// operation. The window is the stream's own: every operation that waits for
// the host opens it again over the queue as the host left it.
//
// A consuming stream (StreamStartConsuming: BMP, GIF, PCX, Targa) keeps the
// queues as those readers always kept them, so their hosts see what they
// saw: whenever the job returns to the host the input queue's front stands
// at the next unread byte and the output queue's rear after the last byte
// written (except for rows placed in a band, see StreamMoveOutput); input
// seeks always go through the host (with the whole file queued, the front
// moves instead); an emptied queue stays where it is; and an abort the host
// set is seen when the job next has to wait on that queue.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "engine/queue.h"
#include "quorvin.h"

// Bytes reversed ahead for bit-reversed (least significant bit first) input.
constexpr size_t kReversalBufferSize = 4096;

// Contiguous unread input bytes: a stretch of the input queue's storage, or of
// the reversal buffer while bits are reversed.
struct InputWindow {
  const uint8_t *Next;
  const uint8_t *End;
};

struct Stream {
  ParamBlock *Block;        // the job it reads and writes for
  // Input.
  uint32_t InBase;          // file position of the byte at the input queue's front
  InputWindow Window;
  bool BigEndian;           // byte order of the file ("MM")
  bool ReverseBits;         // input bytes pass through the bit-reversal table
  uint8_t *ReversalBuffer;  // kReversalBufferSize bytes while ReverseBits is set
  uint8_t *Reversed;        // with ReverseBits: queue position after the last byte reversed
  bool InFromEnd;           // InBase counts bytes before the end of the file
  // Output.
  uint32_t OutBase;    // output position of the byte at the output queue's front
  uint8_t *OutCursor;  // where the next output byte goes, inside the storage
  uint8_t *OutLimit;   // end of the contiguous writable stretch from OutCursor
  uint32_t OutHigh;    // highest output position written so far
  // Consuming streams.
  bool Consuming;
  bool Placing;         // rows go into a band ahead of the rear: nothing is committed on leaving
  uint8_t *FileStart;   // the whole file queued: where its first byte lies
  uint64_t FileSize;    // and its length
  // While Lagging, a failure leaves the input front at Mark: where the bytes
  // read were last handed back (see StreamLagFront).
  bool Lagging;
  const uint8_t *Mark;
};

// Registered with the engine by the start of either side: after every
// return from the host, queue positions outside their storage are brought to
// the storage start before the stream uses them.
void StreamAfterResume(void *stream);

// ---- Input ----------------------------------------------------------------

// Open the input stream of block's job: the byte at the queue's front is file
// position 0. Refuses queue flag bit 1 (-1547). Does not wait for data.
void StreamStartInput(Stream *s, ParamBlock *block);
// File position of the next byte the window hands out.
uint32_t StreamInputPosition(Stream *s);
// Move to a file position: inside the queue when the position is there,
// otherwise by emptying the queue and asking the host (ResponseSeek). Does
// not wait for data. Positions at or beyond 2^30 fail with -7006.
void StreamSeek(Stream *s, uint32_t position);
// Move to n bytes before the end of the file (SeekTarget 0x80000000 + n),
// always through the host. Until the next StreamSeek the stream counts
// positions from the end: more input is asked for the same way, and
// StreamInputPosition has no meaning. n at or beyond 2^30 fails with -7006.
void StreamSeekFromEnd(Stream *s, uint32_t n);
// The slow path of a byte fetch: moves the window across the storage wrap,
// refills the reversal buffer, or waits for the host when every queued byte
// has been read. Fails with -1013, -1006 or -1515 as the input ends.
uint8_t StreamNextByte(Stream *s);
// The same, but the end of the file is an answer: false, nothing read, when
// the host says the file has ended (the queue is then left as it is).
bool StreamNextByteUntilEnd(Stream *s, uint8_t *v);
// Two and four consecutive bytes, the first in the lowest position (file order).
uint16_t StreamWord(Stream *s);
uint32_t StreamLong(Stream *s);
// Copy n bytes from the stream.
void StreamRead(Stream *s, uint8_t *destination, size_t n);
// Skip n bytes of the stream.
void StreamSkip(Stream *s, size_t n);
// The next contiguous unread bytes, at least one and at most `most` (>= 1),
// counted as read: *bytes points at them where they lie (the queue's
// storage, or the reversal buffer), so nothing is copied. Waits for input
// when none is queued; 0 when the host says the file has ended (other ends
// fail as StreamNextByte's do). The bytes stay unchanged until the stream
// next reads or waits for input.
size_t StreamTake(Stream *s, size_t most, const uint8_t **bytes);
// From now on every input byte is bit-reversed (most significant bit first
// becomes least significant first) through buffer (kReversalBufferSize bytes,
// owned by the caller for the rest of the job).
void StreamReverseInput(Stream *s, uint8_t *buffer);

// The window refill behind StreamNextByte while bits are reversed: copies the
// queued bytes after the last reversed one, through the reversal table, into
// the reversal buffer (at most kReversalBufferSize, never across the wrap of
// the storage more than once) and opens the window over them. Returns false
// when the queue holds no unreversed byte.
bool StreamRefillReversed(Stream *s);

// Each byte value with its bit order reversed (0x01 gives 0x80, 0x03 gives 0xC0).
struct ByteTable {
  uint8_t v[256];
};
constexpr ByteTable MakeBitReverseTable() {
  ByteTable t{};
  for (int b = 0; b < 256; ++b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
      if (b & (1 << i)) r = static_cast<uint8_t>(r | (0x80 >> i));
    t.v[b] = r;
  }
  return t;
}
inline constexpr ByteTable kBitReverseTable = MakeBitReverseTable();

// The next byte, from the window when it holds one.
inline uint8_t StreamByte(Stream *s) {
  if (s->Window.Next < s->Window.End) return *s->Window.Next++;
  return StreamNextByte(s);
}

// ---- Output ---------------------------------------------------------------
//
// Bytes between the queue's front and rear belong to the host (committed);
// bytes the stream writes beyond the rear stay the stream's until it commits
// them by moving the rear: when the queue fills, when a placement leaves the
// queue's window of positions, before ResponseRowsReady and at the end.

// Open the output stream of block's job: the byte at the queue's front is
// output position 0. Refuses queue flag bit 1 (-1547); clears bit 5.
void StreamStartOutput(Stream *s, ParamBlock *block);
// Output position of OutCursor.
uint32_t StreamOutputPosition(Stream *s);
// Put n bytes at the cursor, draining to the host (ResponseNeedOutput with
// SeekTarget = 0x40000000 | position of the queue's front) whenever the queue
// fills. When source is OutCursor itself (the bytes were decoded in place,
// within StreamOutputRoom) the cursor just advances.
void StreamPut(Stream *s, const uint8_t *source, size_t n);
// Move the cursor to output position x for a write of n bytes (n = 0 only
// repositions): inside the queue's window of positions when it fits there,
// otherwise by draining the queue and asking the host to continue its output
// at x (ResponseSeek). A placement with n > 0 that starts inside the window
// but below the committed end fails with -1548; positions at or beyond 2^30
// fail with -7006.
void StreamPlace(Stream *s, uint32_t x, size_t n);
// Put n bytes at output position x, over bytes written before (the raw fax
// header, rewritten at the end). Committed bytes are rewritten through the
// host: the queue is drained and the output moved to x.
void StreamRewriteAt(Stream *s, const uint8_t *data, size_t n, uint32_t x);
// Make everything written so far visible to the host: the rear moves to the
// highest position written.
void StreamCommit(Stream *s);
// Hand the host what is committed with ResponseRowsReady (commit first when
// commit is set). Bytes written beyond the rear keep their places while the
// host drains the queue.
void StreamYieldRows(Stream *s, bool commit);
// Contiguous bytes that may be written at OutCursor without a flush.
inline size_t StreamOutputRoom(const Stream *s) {
  return static_cast<size_t>(s->OutLimit - s->OutCursor);
}
// Where n bytes (a row and the slack its decoder may write past it) are
// best decoded: at OutCursor when more than n may be written there, else in
// spare (at least n bytes); StreamPut then takes the row from either.
inline uint8_t *StreamDecodeTarget(Stream *s, size_t n, uint8_t *spare) {
  return StreamOutputRoom(s) > n ? s->OutCursor : spare;
}

// ---- Consuming streams ----------------------------------------------------

// Open both sides of a consuming stream over block's queues: the input's
// front is file position 0, the output's front output position 0. With
// WholeInput 1 the queued bytes are the whole file. The engine settles the
// queues through s whenever the job returns to the host, so s must outlive
// the reader's use of it: a job buffer, or the reader's outermost frame on
// the job stack, closed with StreamEndConsuming before the reader returns.
void StreamStartConsuming(Stream *s, ParamBlock *block);
// The reader is done with s: the queues are settled now, and no longer when
// the job returns to the host.
void StreamEndConsuming(Stream *s);
// Continue the input at target, in SeekTarget's encoding (a position, or
// QV_SEEK_FROM_END + bytes before the end; below 2^30): ResponseSeek, or
// with the whole file queued the front moves there without a round trip (a
// position from the end of a shorter file is its first byte; one past the
// end fails with -1013 as reading there would).
void StreamMoveInput(Stream *s, uint32_t target);
// Unread input bytes the queue holds now (nothing waits).
size_t StreamQueued(const Stream *s);
// Copy n bytes of input to the output, waiting for input whenever none is
// queued and for room whenever the output queue is full.
void StreamCopyInput(Stream *s, size_t n);
// Put n bytes of value at the cursor, as StreamPut does.
void StreamFill(Stream *s, uint8_t value, size_t n);
// Commit what is written and ask the host, with ResponseSeek, to take every
// queued byte and continue the output at x (below 2^30); the output goes on
// at the rear, which the host's front then is (output position x).
void StreamMoveOutput(Stream *s, uint32_t x);
// Loops that read many small pieces (run-length codes) once read them in
// place and gave the bytes back to the input queue only now and then: where
// their stretch of queued bytes ran out (after the byte or read that crossed
// it), at a wait, and before each row went out. A failure in between (a code
// the reader refuses) left the queue's front at the last of those points.
// Between StreamLagFront(s, true) and StreamLagFront(s, false) a consuming
// stream does the same; a reader turns it off around what it delivers.
void StreamLagFront(Stream *s, bool on);
// Output a reader addresses in the storage itself (rows merged into the
// host's picture, an image kept whole in the queue and handed over again):
// StreamSettleOutput first, so the queue's rear stands after the last byte
// written; StreamWaitForRoom for n free bytes (waiting as for a full queue);
// and StreamOutputMoved once the reader has moved the rear or the front
// itself: the stream writes on from the rear.
void StreamWaitForRoom(Stream *s, size_t n);
void StreamOutputMoved(Stream *s);
// An intermediate image is complete: ResponseDone (the caller has cleared
// QV_FLAG_FINAL_IMAGE); the host takes what is queued and the next image's
// output starts at position 0.
void StreamHandOverImage(Stream *s);
// One extra-data record of kind whose n data bytes are read from the input,
// appended to the ExtraBuffer (the caller has reserved n + 8 bytes).
void StreamReadExtraRecord(Stream *s, uint32_t n, uint32_t kind);

// What each side settles in the queues whenever a consuming stream's job
// returns to the host: the input's front moves to the next unread byte, the
// output's rear after the last byte written in order (not while rows are
// placed in a band).
void StreamSettleInput(Stream *s);
void StreamSettleOutput(Stream *s);
// The output side of StreamStartConsuming.
void StreamStartConsumingOutput(Stream *s);
