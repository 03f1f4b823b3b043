#include "filter/connection.h"

unique_text receiver;
std::size_t receiver_len = 0;

const char *receiver_or_empty() { return receiver ? receiver.get() : ""; }

void release_receiver() {
  receiver.reset();
  receiver_len = 0;
}
