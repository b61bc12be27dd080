// A small program that exists to be signed: the signature tests check copies of it signed by
// different test publishers. Running it does nothing.
int main() {
    return 0;
}
