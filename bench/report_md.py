"""Markdown pieces shared by the benchmark reports (boot_report.py,
floor_report.py): tables, min–max spreads and the machine section."""


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def spread(values, form="%.1f"):
    return (form + "–" + form) % (min(values), max(values))


def machine_section(path):
    """The machine file's lines as a list under its own heading."""
    print("### Machine\n")
    with open(path) as f:
        for line in f:
            print("- " + line.rstrip())
    print()
