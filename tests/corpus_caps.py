"""The CAP files of the shared corpus, for the checks that run over them."""
import os


def corpus_caps(corpus):
    """The paths of the corpus's CAP files, sorted by name; None where there
    is no corpus. Under CI the corpus is there, and a check that ran over
    nothing must not pass: the caller then fails where required() says so."""
    folder = os.path.join(corpus, "cap")
    if not os.path.isdir(folder):
        print("no corpus at %s" % corpus)
        return None
    return [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.lower().endswith(".cap")]


def required():
    """Whether a missing corpus is a failure: under CI it is."""
    return os.environ.get("CI") == "true"
