/* A PE32+ image linked by lld-link without any runtime or imports: its entry point's result is
   the process exit code. */
int start(void) { return 42; }
