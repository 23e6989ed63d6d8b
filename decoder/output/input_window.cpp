#include "output/input_window.h"

#include <string.h>

#include "engine/queue.h"

uint8_t WindowRefillByte(ParamBlock *block, QueueWindow *w) {
  DataQueue *q = &block->InputQueue;
  CloseWindow(q, w);
  uint8_t b = ReadByte(block);
  OpenWindow(q, w);
  return b;
}

void WindowRead(ParamBlock *block, QueueWindow *w, uint8_t *destination, size_t n) {
  size_t here = WindowBytes(w);
  if (here >= n) {
    memcpy(destination, w->next, n);
    w->next += n;
    return;
  }
  memcpy(destination, w->next, here);
  w->next += here;
  DataQueue *q = &block->InputQueue;
  CloseWindow(q, w);
  ReadInput(block, destination + here, q, n - here);
  OpenWindow(q, w);
}
