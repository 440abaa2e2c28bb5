// The tables of the gallery database that the settings and usage report reads.
#pragma once

const char *const kReportSchema = R"SQL(
CREATE TABLE photo_config (config_key text, config_value text);
CREATE TABLE blog_config (config_key text, config_value text);
CREATE TABLE photo_image (id serial PRIMARY KEY, path text, title text, takendate timestamp);
CREATE TABLE video (id serial PRIMARY KEY, path text, title text, duration integer);
CREATE TABLE blog_article (id serial PRIMARY KEY, title text, date timestamp);
CREATE TABLE photo_share (shareid serial PRIMARY KEY, sharename text, is_subdir boolean);
CREATE TABLE photo_personal_collection (id serial PRIMARY KEY, name text, hidden boolean);
CREATE TABLE photo_personal_collection_photo (collectionid integer, photoid integer);
CREATE TABLE photo_personal_collection_video (collectionid integer, videoid integer);
CREATE TABLE photo_personal_collection_for_admin (id serial PRIMARY KEY, name text, hidden boolean);
CREATE TABLE photo_personal_collection_photo_for_admin (collectionid integer, photoid integer);
CREATE TABLE photo_personal_collection_video_for_admin (collectionid integer, videoid integer);
CREATE TABLE photo_personal_collection_for_nmx_account (id serial PRIMARY KEY, name text, hidden boolean);
CREATE TABLE photo_personal_collection_photo_for_nmx_account (collectionid integer, photoid integer);
CREATE TABLE photo_personal_collection_video_for_nmx_account (collectionid integer, videoid integer);
)SQL";
