/* A program that crashes at once: under the tests' Wine prefix it must fail
   within seconds, so that no crash can pass for a hang or a hang for a pass. */
int main(void)
{
    volatile int* nowhere = 0;
    return *nowhere;
}
