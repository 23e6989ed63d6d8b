// Reading the input queue in place: the contiguous stretch of queued bytes
// that starts at the read position is read directly from the host's storage,
// and only when it is used up does the reader wait for the host through the
// queue layer. Run-length readers take their codes this way instead of
// copying every one or two bytes out of the queue.
//
// A window must be closed (its consumed bytes handed back to the queue)
// before anything that may suspend the job, and opened again afterwards.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "engine/queue.h"
#include "quorvin.h"

struct QueueWindow {
  const uint8_t *next;
  const uint8_t *limit;
};

inline void OpenWindow(const DataQueue *q, QueueWindow *w) {
  uint8_t *f = QueueSpot(q, q->front);
  uint8_t *r = QueueSpot(q, q->rear);
  w->next = f;
  w->limit = r >= f ? r : q->end;
}

// Hand the consumed bytes back to the queue.
inline void CloseWindow(DataQueue *q, const QueueWindow *w) {
  uint8_t *f = const_cast<uint8_t *>(w->next);
  q->front = f >= q->end ? q->start : f;
}

inline size_t WindowBytes(const QueueWindow *w) { return static_cast<size_t>(w->limit - w->next); }

// The window is used up: one byte through the queue layer, which waits for
// the host or fails the job when the file has ended; then the window again.
uint8_t WindowRefillByte(ParamBlock *block, QueueWindow *w);

inline uint8_t WindowByte(ParamBlock *block, QueueWindow *w) {
  return w->next < w->limit ? *w->next++ : WindowRefillByte(block, w);
}

// n bytes to destination, from the window and then through the queue layer.
void WindowRead(ParamBlock *block, QueueWindow *w, uint8_t *destination, size_t n);
