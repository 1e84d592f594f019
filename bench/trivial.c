/* The cost of starting and ending a Wine process with nothing else to do:
   the benchmark's baseline for what vantrel.exe pays before it opens a port. */
int main(void) { return 0; }
