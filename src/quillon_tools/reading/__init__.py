"""Reading a log: its protocol sniffed from its bytes, its input read run by
run, and the decoding passes that turn it into tables."""
