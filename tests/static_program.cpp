// A statically linked program: no library can be preloaded into it.
int main()
{
    return 0;
}
