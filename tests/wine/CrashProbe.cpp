// Writes through a null pointer: the crash that scripts/wine-run must never report as success.
int main() {
  volatile int *volatile target = nullptr;
  *target = 1;
  return 0;
}
