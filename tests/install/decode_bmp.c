/* A small C host built against the installed library: decodes a BMP file
 * through Corvane with 4 KiB queues and writes the delivered bitmap behind a
 * 14-byte file header, as `quorvin decode IN -o OUT.bmp` does.
 * Usage: decode_bmp IN OUT */
#include <quorvin.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kQueueBytes = 4096 };

static void Normalise(DataQueue *q) {
  if (q->front >= q->end) q->front = q->start;
  if (q->rear >= q->end) q->rear = q->start;
}

static size_t Used(const DataQueue *q) {
  return q->rear >= q->front ? (size_t)(q->rear - q->front)
                             : (size_t)((q->end - q->front) + (q->rear - q->start));
}

/* Append file bytes at rear until the queue is full or the file ends. */
static void FillInput(DataQueue *q, FILE *in) {
  Normalise(q);
  while (!(q->flags & QV_QUEUE_END_OF_DATA)) {
    size_t room = (size_t)(q->end - q->start) - 1 - Used(q);
    size_t run = (size_t)(q->end - q->rear);
    if (room == 0) return;
    if (run > room) run = room;
    size_t got = fread(q->rear, 1, run, in);
    q->rear += got;
    if (q->rear == q->end) q->rear = q->start;
    if (got < run) q->flags |= QV_QUEUE_END_OF_DATA;
  }
}

struct Output {
  unsigned char *bytes;
  size_t size, position, length;
};

/* Take everything from the output queue and place it at the output position. */
static int DrainOutput(DataQueue *q, struct Output *out) {
  Normalise(q);
  while (q->front != q->rear) {
    size_t run = q->front < q->rear ? (size_t)(q->rear - q->front) : (size_t)(q->end - q->front);
    if (out->position + run > out->size) {
      size_t size = (out->position + run) * 2;
      unsigned char *grown = realloc(out->bytes, size);
      if (!grown) return 0;
      memset(grown + out->size, 0, size - out->size);
      out->bytes = grown;
      out->size = size;
    }
    memcpy(out->bytes + out->position, q->front, run);
    out->position += run;
    if (out->position > out->length) out->length = out->position;
    q->front += run;
    Normalise(q);
  }
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: decode_bmp IN OUT\n");
    return 2;
  }
  FILE *in = fopen(argv[1], "rb");
  if (!in) {
    perror(argv[1]);
    return 1;
  }
  static unsigned char inStore[kQueueBytes], outStore[kQueueBytes];
  static ParamBlock pb;
  struct Output out = {0};
  pb.BlockSize = QV_PARAM_BLOCK_SIZE;
  pb.BlockVersion = 20;
  pb.OperationCode = QV_OPERATION_CODE;
  if (Corvane(&pb, RequestInit) != ResponseDone) {
    fprintf(stderr, "init failed: status %d\n", (int)pb.Status);
    return 1;
  }
  pb.ImageType = 0; /* BMP */
  pb.Flags = QV_FLAG_HEADER;
  pb.InputQueue.start = pb.InputQueue.front = pb.InputQueue.rear = inStore;
  pb.InputQueue.end = inStore + sizeof inStore;
  pb.OutputQueue.start = pb.OutputQueue.front = pb.OutputQueue.rear = outStore;
  pb.OutputQueue.end = outStore + sizeof outStore;
  FillInput(&pb.InputQueue, in);

  int response = Corvane(&pb, RequestRun);
  while (response != ResponseDone && response != ResponseError) {
    if (!DrainOutput(&pb.OutputQueue, &out)) break;
    if (response == ResponseNeedInput) {
      FillInput(&pb.InputQueue, in);
    } else if (response == ResponseSeek && (pb.SeekTarget & QV_SEEK_OUTPUT)) {
      out.position = pb.SeekTarget & ~QV_SEEK_OUTPUT;
    } else if (response == ResponseSeek) {
      long to = (long)(pb.SeekTarget & ~QV_SEEK_FROM_END);
      int whence = (pb.SeekTarget & QV_SEEK_FROM_END) ? SEEK_END : SEEK_SET;
      pb.InputQueue.front = pb.InputQueue.rear; /* what is queued is no longer wanted */
      pb.InputQueue.flags &= ~QV_QUEUE_END_OF_DATA;
      if (fseek(in, whence == SEEK_END ? -to : to, whence) != 0) break;
      FillInput(&pb.InputQueue, in);
    }
    /* Rows ready: drained above. Need extra: no extra buffer is offered. */
    response = Corvane(&pb, RequestResume);
  }
  fclose(in);
  if (response != ResponseDone || !DrainOutput(&pb.OutputQueue, &out)) {
    fprintf(stderr, "%s: decode failed, response %d, status %d\n", argv[1], response,
            (int)pb.Status);
    Corvane(&pb, RequestTerminate);
    return 1;
  }
  uint32_t imageBytes = pb.BitmapHeader.biSizeImage;
  Corvane(&pb, RequestTerminate);

  unsigned char fileHeader[14] = {'B', 'M'};
  uint32_t total = (uint32_t)(14 + out.length), offset = total - imageBytes;
  for (int i = 0; i < 4; ++i) {
    fileHeader[2 + i] = (unsigned char)(total >> (8 * i));
    fileHeader[10 + i] = (unsigned char)(offset >> (8 * i));
  }
  FILE *f = fopen(argv[2], "wb");
  int ok = f && fwrite(fileHeader, 1, 14, f) == 14 &&
           fwrite(out.bytes, 1, out.length, f) == out.length;
  if (f && fclose(f) != 0) ok = 0;
  free(out.bytes);
  if (!ok) {
    perror(argv[2]);
    return 1;
  }
  return 0;
}
