#!/usr/bin/perl
# Prepares a manual page for installation: puts the version in, and lets
# groff break Japanese text between characters as Japanese is typeset (groff
# breaks lines only at spaces): a zero-width break point (\:) between two
# Japanese characters unless the second is closing punctuation, and source
# lines that end and begin in Japanese joined without a space (\c).
# usage: prepare.pl VERSION < page.1 > page.1
use strict;
use warnings;
use utf8;
binmode STDIN, ':encoding(UTF-8)';
binmode STDOUT, ':encoding(UTF-8)';

my $version = shift or die "usage: prepare.pl VERSION < page > page\n";
my $ja = qr/[\p{Han}\p{Hiragana}\p{Katakana}ー々〆〇、。「」『』（）：・〜]/;
my $opening = qr/[\p{Han}\p{Hiragana}\p{Katakana}々〆〇「『（]/;
my $closing = qr/[ー・、。」』）：〜ぁぃぅぇぉっゃゅょァィゥェォッャュョ]/;    # never begin a line
# A file name that holds Japanese (ファイル.exe) is set as one unbreakable
# unit: Japanese typesetting (groff's ja.tmac, which man uses for pages in a
# ja directory) may break between any two Japanese characters.
sub unit { my $name = shift; $name =~ s/\\://g; return "\\Z'${name}'\\h'\\w'${name}'u'"; }
my @lines = <STDIN>;
for my $i (0 .. $#lines) {
    $lines[$i] =~ s/\@KVX_VERSION\@/$version/g;
    my $names = qr/((?:$ja|\\:)+\.(?:exe|partial|txt|csv|ini|gz))/;
    if ($lines[$i] =~ /^\./) {    # requests and macros stay as written, but for such names
        $lines[$i] =~ s/$names/unit($1)/ge unless $lines[$i] =~ /^\.\\"/;
        next;
    }
    $lines[$i] =~ s/(?<=$ja)(?=$opening)(?!$closing)/\\:/g;
    my $next = $i < $#lines ? $lines[$i + 1] : '';
    $lines[$i] =~ s/(?<=$ja)\n\z/\\c\n/ if $next =~ /^$ja/;
    $lines[$i] =~ s/$names/unit($1)/ge;
}
print @lines;
