#!/usr/bin/perl
# Writes the demo's product list: 49,129 rows of made-up products (about
# 2.4 MB of UTF-8 CSV), the same every time, so that the demo's progress
# window has a large file to show.
# usage: products.pl > 製品一覧.csv
use strict;
use warnings;
use utf8;
binmode STDOUT, ':encoding(UTF-8)';

my @kind = qw(限定 省エネ 定番 新型 高級 大型 小型 軽量 多機能 特選);
my @thing = qw(炊飯器 椅子 傘 辞書 積み木 掃除機 鉛筆 時計 毛布 鍋 電卓 手袋);
my @class = qw(文具 玩具 衣料 工具 家電 家具 食器 寝具);
my $seed = 20261208;
sub next_number { $seed = ($seed * 1103515245 + 12345) % 2147483648; return $seed >> 8; }

print "番号,製品名,分類,価格,在庫,更新日\n";
for my $n (1 .. 49129) {
    my $name = $kind[next_number() % @kind] . $thing[next_number() % @thing];
    printf "%d,%s,%s,%d,%d,2026-%02d-%02d\n", $n, $name, $class[next_number() % @class],
        50 * (1 + next_number() % 80), next_number() % 1000, 1 + next_number() % 12, 1 + next_number() % 28;
}
