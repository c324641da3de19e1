"""The CAP files of the shared corpus, for the checks that run over them."""
import os


def in_sample(name):
    """Whether a sweep takes the corpus file `name`: all of them, except in the
    sanitizer builds, which take one in TOLVANE_CORPUS_SAMPLE by a hash of its
    name (FNV-1a, as the C++ tests choose)."""
    sample = int(os.environ.get("TOLVANE_CORPUS_SAMPLE", "1"))
    value = 2166136261
    for byte in name.encode():
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value % sample == 0


def corpus_caps(corpus):
    """The paths of the corpus's CAP files in the sample, sorted by name; None
    where there is no corpus. Under CI the corpus is there, and a check that
    ran over nothing must not pass: the caller then fails where required()
    says so."""
    folder = os.path.join(corpus, "cap")
    if not os.path.isdir(folder):
        print("no corpus at %s" % corpus)
        return None
    return [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.lower().endswith(".cap") and in_sample(n)]


def required():
    """Whether a missing corpus is a failure: under CI it is."""
    return os.environ.get("CI") == "true"


# The corpus files that the bytecode verifier refuses, each for a fault a
# card's verifier refuses as well; the checks that need a load file of every
# file take these with --no-verify. corpus_outcomes.tsv pins each refusal.
REFUSED_BY_VERIFIER = {
    "ChangSha__huNanSubWay_20151127_1128.cap",  # getfield_s_this in a static method
    "ChangSha__qPBOC_3_0.cap",  # the same
    "JavaCardPassport__passportapplet2-2018-05.cap",  # an interface with fields
    "javus__arraycopy_jc211_vulns.cap",  # an instance field's entry names another class
    "javus__arraycopy_jc221_vulns.new.cap",  # an Object returned as a byte[]
    "javus__arraycopy_jc305u1_vulns.new.cap",  # the same
    "javus__javacardversion-2.1.1.cap",  # an instance field's entry names another class
}


def load_options(cap):
    """What a check adds to make a load file of the corpus file `cap`."""
    return ["--no-verify"] if os.path.basename(cap) in REFUSED_BY_VERIFIER else []
