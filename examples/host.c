/*
 * host.c: a complete Quorvin host in plain C. It decodes an image file into a
 * BMP file through Corvane alone, serving every response of the protocol:
 *
 *   host IN OUT.bmp [TYPE]
 *
 * TYPE is a four-character image type (GIFu, TGA2, PCX8, BMPR, ...) or 0 for
 * a Windows bitmap; without it the type is detected from the file's first
 * bytes by QvDetectType. The file written is the delivered bitmap (header,
 * colour table, rows) behind a 14-byte file header, the bytes
 * `quorvin decode -f dib` writes; output bytes are written at the positions
 * the decoder asks for, so the whole image is never held in memory.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quorvin.h"

enum { kQueueSize = 65536, kFileHeader = 14 };

static uint8_t g_in[kQueueSize], g_out[kQueueSize];

/* The output file and the position its next byte belongs at. */
typedef struct Output {
  FILE *file;
  long position; /* counted from the first byte of the bitmap header */
  long length;   /* highest position written + 1 */
} Output;

static int Fail(const char *what, const char *name) {
  fprintf(stderr, "host: %s: %s\n", name, what);
  return 1;
}

static uint32_t ParseType(const char *text) {
  char c[4] = {' ', ' ', ' ', ' '};
  size_t i, n = strlen(text);
  if (strcmp(text, "0") == 0) return QV_TYPE_BMP;
  for (i = 0; i < n && i < 4; ++i) c[i] = text[i];
  return QV_FOURCC(c[0], c[1], c[2], c[3]);
}

/* Bytes that can be taken out of a queue, and put into it (one byte of the
 * storage always stays free). Positions at the storage end stand for its start. */
static size_t Used(const DataQueue *q) {
  const uint8_t *f = q->front >= q->end ? q->start : q->front;
  const uint8_t *r = q->rear >= q->end ? q->start : q->rear;
  return r >= f ? (size_t)(r - f) : (size_t)((q->end - f) + (r - q->start));
}

static size_t Free(const DataQueue *q) { return (size_t)(q->end - q->start) - 1 - Used(q); }

/* ResponseNeedInput: append file bytes at rear, or mark the end of the file. */
static void FillInput(DataQueue *q, FILE *in) {
  size_t room = Free(q);
  while (room) {
    uint8_t *rear = q->rear >= q->end ? q->start : q->rear;
    size_t run = (size_t)(q->end - rear), got;
    if (run > room) run = room;
    got = fread(rear, 1, run, in);
    if (got == 0) break;
    rear += got;
    q->rear = rear == q->end ? q->start : rear;
    room -= got;
  }
  if (feof(in) || ferror(in)) q->flags |= QV_QUEUE_END_OF_DATA;
}

/* Takes every queued output byte and writes it at the output position. */
static int Drain(DataQueue *q, Output *o) {
  while (Used(q)) {
    uint8_t *front = q->front >= q->end ? q->start : q->front;
    const uint8_t *rear = q->rear >= q->end ? q->start : q->rear;
    size_t run = rear >= front ? (size_t)(rear - front) : (size_t)(q->end - front);
    if (fseek(o->file, kFileHeader + o->position, SEEK_SET) != 0 ||
        fwrite(front, 1, run, o->file) != run)
      return 0;
    o->position += (long)run;
    if (o->position > o->length) o->length = o->position;
    front += run;
    q->front = front == q->end ? q->start : front;
  }
  return 1;
}

/* ResponseSeek for input: drop what is unread and go on from the position. */
static void SeekInput(DataQueue *q, FILE *in, uint32_t target) {
  uint32_t n = target & 0x7FFFFFFFu;
  long size;
  fseek(in, 0, SEEK_END);
  size = ftell(in);
  if (target & QV_SEEK_FROM_END)
    fseek(in, (long)n <= size ? size - (long)n : 0, SEEK_SET);
  else
    fseek(in, (long)n, SEEK_SET);
  clearerr(in);
  q->front = q->rear;
  q->flags &= ~QV_QUEUE_END_OF_DATA;
  FillInput(q, in);
}

/* The 14-byte file header, once the bitmap is complete. */
static int FinishBmp(Output *o, const BitmapInfoHeader *h) {
  uint8_t head[kFileHeader] = {'B', 'M'};
  uint32_t total = (uint32_t)(kFileHeader + o->length);
  uint32_t offset = total - h->biSizeImage;
  int i;
  for (i = 0; i < 4; ++i) {
    head[2 + i] = (uint8_t)(total >> (8 * i));
    head[10 + i] = (uint8_t)(offset >> (8 * i));
  }
  return fseek(o->file, 0, SEEK_SET) == 0 && fwrite(head, 1, sizeof head, o->file) == sizeof head;
}

int main(int argc, char **argv) {
  ParamBlock pb;
  Output out = {NULL, 0, 0};
  FILE *in;
  uint8_t head[256];
  size_t headBytes;
  int response;
  int32_t status;
  BitmapInfoHeader header;

  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: host IN OUT.bmp [TYPE]\n");
    return 2;
  }
  in = fopen(argv[1], "rb");
  if (!in) return Fail("cannot open", argv[1]);
  headBytes = fread(head, 1, sizeof head, in);
  rewind(in);

  /* 1. A new job on a zeroed block. */
  memset(&pb, 0, sizeof pb);
  pb.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb.BlockVersion = QV_MAX_BLOCK_VERSION;
  pb.OperationCode = QV_OPERATION_CODE;
  if (Corvane(&pb, RequestInit) != ResponseDone) return Fail(QvStatusText(pb.Status), "Corvane");

  /* 2. The image type, the options and both queues. */
  if (argc == 4) {
    pb.ImageType = ParseType(argv[3]);
  } else {
    pb.ImageType = QvDetectType(head, headBytes);
    if (pb.ImageType == QV_TYPE_UNKNOWN) return Fail("format not recognised; give the image type", argv[1]);
  }
  pb.Flags = QV_FLAG_HEADER; /* header and colour table ahead of the rows, bottom row first */
  pb.InterlaceMode = QV_INTERLACE_PASS_IMAGES;
  pb.WholeInput = 0; /* the file streams through the input queue */
  pb.InputQueue.start = pb.InputQueue.front = pb.InputQueue.rear = g_in;
  pb.InputQueue.end = g_in + sizeof g_in;
  pb.OutputQueue.start = pb.OutputQueue.front = pb.OutputQueue.rear = g_out;
  pb.OutputQueue.end = g_out + sizeof g_out;

  out.file = fopen(argv[2], "w+b");
  if (!out.file) return Fail("cannot create", argv[2]);

  /* 3. Serve every response until the final image is done or the job fails. */
  response = Corvane(&pb, RequestRun);
  for (;;) {
    int next = RequestResume;
    if (response == ResponseError) break;
    if (response == ResponseDone) {
      if (!Drain(&pb.OutputQueue, &out)) break;
      if (pb.Flags & QV_FLAG_FINAL_IMAGE) break;
      /* An intermediate pass image of an interlaced GIF: the next image
       * starts again at output position 0 and overwrites it. */
      out.position = 0;
      next = RequestRun;
    } else if (response == ResponseNeedInput) {
      FillInput(&pb.InputQueue, in);
    } else if (response == ResponseNeedOutput || response == ResponseRowsReady) {
      if (!Drain(&pb.OutputQueue, &out)) pb.OutputQueue.flags |= QV_QUEUE_ABORT;
    } else if (response == ResponseSeek) {
      if (pb.SeekTarget & QV_SEEK_OUTPUT) {
        if (!Drain(&pb.OutputQueue, &out)) pb.OutputQueue.flags |= QV_QUEUE_ABORT;
        out.position = (long)(pb.SeekTarget & 0x3FFFFFFFu);
      } else {
        SeekInput(&pb.InputQueue, in, pb.SeekTarget);
      }
    } else if (response == ResponseNeedExtra) {
      /* No ExtraBuffer was offered, so this never comes; leaving the buffer
       * as it is makes the reader skip the record. */
    } else {
      pb.InputQueue.flags |= QV_QUEUE_ABORT;
      pb.OutputQueue.flags |= QV_QUEUE_ABORT;
    }
    response = Corvane(&pb, next);
  }
  status = pb.Status;
  header = pb.BitmapHeader;

  /* 4. End the job (also harmless after a failure). */
  Corvane(&pb, RequestTerminate);
  fclose(in);
  if (response != ResponseDone || status != 0 || !FinishBmp(&out, &header)) {
    fclose(out.file);
    remove(argv[2]);
    fprintf(stderr, "host: %s (%s): status %d: %s\n", argv[1],
            QvImageTypeName(pb.ImageType) ? QvImageTypeName(pb.ImageType) : "unknown type", (int)status,
            QvStatusText(status));
    return 1;
  }
  if (fclose(out.file) != 0) return Fail("cannot write", argv[2]);
  return 0;
}
