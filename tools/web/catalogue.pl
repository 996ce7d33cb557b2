#!/usr/bin/perl
# The message catalogue (po/ja.po) as JavaScript for the page: an object from
# each English text to its Japanese; a counted text by its first form.
#   catalogue.pl ja.po OUT.js
use strict;
use warnings;
my ($po, $out) = @ARGV;
open(my $in, '<:raw', $po) or die "$po: $!";
my (%texts, $field, %entry);
sub unquote { my $s = shift; $s =~ s/^"(.*)"\s*$/$1/s; return $s; }
sub keep {
  $texts{$entry{msgid}} = $entry{msgstr} // $entry{'msgstr[0]'} // ''
    if defined $entry{msgid} && $entry{msgid} ne '' && !$entry{fuzzy};
  %entry = ();
}
while (my $line = <$in>) {
  if ($line =~ /^#,.*\bfuzzy\b/) { $entry{fuzzy} = 1; next; }
  next if $line =~ /^#/;
  if ($line =~ /^\s*$/) { keep(); next; }
  if ($line =~ /^(msgid|msgid_plural|msgstr|msgstr\[\d+\])\s+(".*")\s*$/) { $field = $1; $entry{$field} = unquote($2); next; }
  $entry{$field} .= unquote($line) if $line =~ /^\s*"/ && defined $field;
}
keep();
# The strings stay as the .po escapes them, which JavaScript reads alike.
open(my $o, '>:raw', $out) or die "$out: $!";
print $o "// Generated from po/ja.po; do not edit.\n'use strict';\nconst kvxCatalogue = {\n";
print $o "  \"$_\": \"$texts{$_}\",\n" for sort keys %texts;
print $o "};\n";
close($o) or die "$out: $!";
