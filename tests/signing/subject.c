/* A small program for the Authenticode tests to sign; it is never run. */
int main(void) {
    return 0;
}
