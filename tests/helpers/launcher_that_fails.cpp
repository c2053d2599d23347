// A launcher that cannot take over: it carries a version resource (1.2.0, newer than every test
// launcher), so that a release can offer it, and exits with 1 as soon as it starts.
int main() {
    return 1;
}
