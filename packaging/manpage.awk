# Turns a program's --help text into a manual page (roff, man macros).
#
#   awk -v prog=NAME -v version=V -v date=YYYY-MM-DD -v summary=TEXT -v seealso="A B" \
#       -f manpage.awk HELP.txt
#
# Two shapes of help are understood:
# - manual-shaped: non-indented upper-case lines are section headings (NAME, SYNOPSIS, ...);
# - usage-shaped: a first line "Usage: ...", then a description; non-indented lines ending in
#   ':' are subsection headings. NAME comes from `summary`.
# In both, "TERM  DESCRIPTION" (two or more blanks) or a short TERM alone with a deeper
# indented description below it is a tagged item; lines indented deeper than an item's
# description, or deeper than the paragraph before them, are kept as they are (tables,
# examples); everything else is filled text.

function indent_of(s) { match(s, /^ */); return RLENGTH }
function trim(s) { sub(/^ +/, "", s); sub(/ +$/, "", s); return s }
function squeeze(s) { gsub(/  +/, " ", s); return s }

# roff escapes: backslashes, dashes of option words (so they copy as ASCII), leading dots.
function esc(s,    out, i, c, prev, opt) {
  out = ""; prev = " "; opt = 0
  for (i = 1; i <= length(s); i++) {
    c = substr(s, i, 1)
    if (c == " ") opt = 0
    else if (c == "-" && (prev == " " || prev == "[" || prev == "(" || prev == "," || prev == "=" || prev == "|")) opt = 1
    if (c == "\\") out = out "\\e"
    else if (c == "-" && opt) out = out "\\-"
    else out = out c
    prev = c
  }
  if (out ~ /^[.']/) out = "\\&" out
  return out
}

# An item's term: placeholders (FILE, [ADDR:]PORT, KEY=VALUE, N) in italics, the rest bold.
function term_of(t,    n, w, i, out) {
  n = split(squeeze(t), w, " ")
  out = ""
  for (i = 1; i <= n; i++) {
    if (w[i] ~ /[A-Z]/ && w[i] !~ /[a-z]/ && w[i] !~ /^-/) out = out "\\fI" esc(w[i]) "\\fR"
    else out = out "\\fB" esc(w[i]) "\\fR"
    if (i < n) out = out " "
  }
  return out
}

function emit(s) { print s; last = s }
function paragraph_break() { if (last != ".PP" && last !~ /^\.S[HS]/) emit(".PP") }
function end_verbatim() {
  if (verbatim) { emit(".fi"); if (verbatim_rs) emit(".RE"); verbatim = 0; verbatim_rs = 0 }
}
function start_verbatim(base, rs) {
  end_verbatim(); verbatim = 1; verbatim_base = base; verbatim_rs = rs
  if (rs) emit(".RS")
  emit(".nf")
}
function verbatim_line(s) { emit(esc(substr(s, verbatim_base + 1))) }
function heading(macro, text) {
  end_verbatim(); mode = ""
  emit(macro " " (text ~ / / ? "\"" text "\"" : text))
  section = text
}

{ sub(/\r$/, ""); line[++n] = $0 }

END {
  title = toupper(prog)
  emit(".TH " title " 1 \"" date "\" \"xv4tool " version "\" \"User Commands\"")
  emit(".nh")
  emit(".ad l")
  first = 1
  if (line[1] ~ /^Usage: /) {
    heading(".SH", "NAME"); emit(esc(prog " - " summary))
    heading(".SH", "SYNOPSIS")
    emit(esc(trim(substr(line[1], 7))))
    heading(".SH", "DESCRIPTION")
    first = 2
  }
  for (i = first; i <= n; i++) {
    s = line[i]; t = trim(s); ind = indent_of(s)
    if (t == "") { end_verbatim(); paragraph_break(); mode = ""; continue }
    if (ind == 0 && t ~ /^[A-Z][A-Z ]*[A-Z]$/) {
      if (t == "SEE ALSO") have_see_also = 1
      heading(".SH", t); continue
    }
    if (ind <= 1 && t ~ /:$/ && t !~ /[^ ]  +[^ ]/) { heading(".SS", substr(t, 1, length(t) - 1)); continue }
    if (section == "NAME") { emit(esc(squeeze(t))); continue }
    if (section == "SYNOPSIS") { emit(esc(squeeze(t))); emit(".br"); continue }

    # Inside an item: deeper than its description column is kept as it is, level with it is
    # more description.
    if (mode == "item" && ind > item_col) {
      if (!verbatim) start_verbatim(item_col, 0)
      verbatim_line(s); continue
    }
    # ... unless it is a term of its own whose description starts in the same column.
    same_col = match(t, /[^ ]  +[^ ]/) && ind + RSTART + RLENGTH - 2 == item_col
    if (mode == "item" && ind > item_ind && !same_col) {
      end_verbatim(); emit(esc(squeeze(t))); continue
    }
    if (mode == "para" && ind > para_ind) {
      if (!verbatim) start_verbatim(ind, 1)
      verbatim_line(s); continue
    }
    end_verbatim()

    next_ind = (i < n && trim(line[i + 1]) != "") ? indent_of(line[i + 1]) : -1
    if (match(t, /[^ ]  +[^ ]/)) {
      term = substr(t, 1, RSTART)
      desc = trim(substr(t, RSTART + 1))
      emit(".TP"); emit(term_of(term)); emit(esc(squeeze(desc)))
      mode = "item"; item_ind = ind; item_col = ind + RSTART + RLENGTH - 2
      continue
    }
    # A term as wide as its column leaves one blank before the description: the line below
    # shows where the description column is.
    if (next_ind > ind && t !~ /:$/ && substr(s, next_ind, 1) == " " && substr(s, next_ind + 1, 1) != " " && substr(s, next_ind - 1, 1) != " ") {
      emit(".TP"); emit(term_of(trim(substr(s, 1, next_ind))))
      emit(esc(squeeze(trim(substr(s, next_ind + 1)))))
      mode = "item"; item_ind = ind; item_col = next_ind
      continue
    }
    if (next_ind > ind && t !~ /:$/ && (t ~ /^-/ || split(t, words, " ") <= 3)) {
      emit(".TP"); emit(term_of(t))
      mode = "item"; item_ind = ind; item_col = next_ind
      continue
    }
    if (mode == "item") emit(".PP")
    emit(esc(squeeze(t)))
    mode = "para"; para_ind = ind
  }
  end_verbatim()
  if (seealso != "" && !have_see_also) {
    heading(".SH", "SEE ALSO")
    k = split(seealso, others, " "); out = ""
    for (j = 1; j <= k; j++) {
      if (others[j] == prog) continue
      out = out (out == "" ? "" : ",\n") "\\fB" others[j] "\\fR(1)"
    }
    emit(out)
  }
}
